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

bool BinaryFile::openForReading(const char16_t* path) {
    close();
    // O_NOFOLLOW: a link as the last component fails the open.
    int fd = ::open(narrowPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    handle = fd;
    return true;
}

bool BinaryFile::createReplacing(const char16_t* path) {
    close();
    std::string name = narrowPath(path);
    // Unlinking a link removes the link, not its target; the exclusive create
    // then fails if anything took the name back in between.
    ::unlink(name.c_str());
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    handle = fd;
    return true;
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

bool BinaryFile::write(const void* buffer, std::size_t count) {
    if (handle == -1) return false;
    std::size_t done = 0;
    while (done < count) {
        std::size_t allowed = allowedWriteBytes(count - done);
        ssize_t put = -1;
        if (allowed > 0)
            put = ::write(fdOf(handle), static_cast<const char*>(buffer) + done, allowed);
        else
            errno = ENOSPC;  // a test's limit (writefault.h): as a full disk
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += std::size_t(put);
    }
    return true;
}

bool BinaryFile::close() {
    if (handle == -1) return true;
    int result = ::close(fdOf(handle));
    handle = -1;
    return result == 0;
}

}  // namespace Varnix::Port
