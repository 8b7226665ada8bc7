#include "port/binaryfile.h"

#include "port/path.h"
#include "port/writefault.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Varnix::Port {

namespace {

int fdOf(std::intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

BinaryFile::~BinaryFile() { close(); }

Status BinaryFile::openForReading(const char16_t* path) {
    close();
    // O_NOFOLLOW: a link as the last component fails the open.
    int fd = ::open(narrowPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return Status::lastFileError();
    struct stat st;
    Status why;
    if (::fstat(fd, &st) != 0)
        why = Status::lastFileError();
    else if (!S_ISREG(st.st_mode))
        why = Status::fromSystem(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    if (!why.isOk()) {
        ::close(fd);
        return why;
    }
    handle = fd;
    return Status();
}

Status BinaryFile::createReplacing(const char16_t* path) {
    close();
    std::string name = narrowPath(path);
    // Unlinking a link removes the link, not its target; the exclusive create
    // then fails if anything took the name back in between.
    ::unlink(name.c_str());
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return Status::lastFileError();
    handle = fd;
    return Status();
}

bool BinaryFile::isOpen() const { return handle != -1; }

std::int64_t BinaryFile::size() const {
    struct stat st;
    if (handle == -1 || ::fstat(fdOf(handle), &st) != 0) return -1;
    return std::int64_t(st.st_size);
}

long long BinaryFile::read(void* buffer, std::size_t count) {
    if (handle == -1) return -1;
    std::size_t done = 0;
    while (done < count) {
        ssize_t got = ::read(fdOf(handle), static_cast<char*>(buffer) + done, count - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += std::size_t(got);
    }
    return static_cast<long long>(done);
}

Status BinaryFile::write(const void* buffer, std::size_t count) {
    if (handle == -1) return Status::fromSystem(EBADF);
    std::size_t done = 0;
    while (done < count) {
        std::size_t allowed = allowedWriteBytes(count - done);
        ssize_t put = -1;
        if (allowed > 0)
            put = ::write(fdOf(handle), static_cast<const char*>(buffer) + done, allowed);
        else
            errno = ENOSPC;  // a test's limit (writefault.h): as a full disk
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return Status::lastFileError();
        done += std::size_t(put);
    }
    return Status();
}

Status BinaryFile::close() {
    if (handle == -1) return Status();
    int result = ::close(fdOf(handle));
    Status why = result == 0 ? Status() : Status::lastFileError();
    handle = -1;
    return why;
}

}  // namespace Varnix::Port
