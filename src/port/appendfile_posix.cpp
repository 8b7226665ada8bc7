#include "port/appendfile.h"

#include "port/path.h"
#include "port/writefault.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Varnix::Port {

AppendFile::~AppendFile() { close(); }

Status AppendFile::open(const char16_t* path) {
    int descriptor = ::open(narrowPath(path).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor < 0)
        return errno == ELOOP ? Status::withText(ELOOP, "it is a symbolic link") : Status::lastFileError();
    handle = descriptor;
    return Status();
}

namespace {

// Writes all of `bytes`; errno's reason when a write fails (`done` tells how
// much got out).
Status writeAll(int descriptor, const char* bytes, std::size_t size, std::size_t& done) {
    done = 0;
    while (done < size) {
        std::size_t allowed = allowedWriteBytes(size - done);
        ssize_t n = -1;
        if (allowed > 0)
            n = ::write(descriptor, bytes + done, allowed);
        else
            errno = ENOSPC;  // a test's limit (writefault.h): as a full disk
        if (n > 0) {
            done += std::size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return Status::fromSystem(n == 0 ? EIO : errno);
        }
    }
    return Status();
}

}  // namespace

Status AppendFile::append(const char* bytes, std::size_t size) {
    int descriptor = int(handle);
    std::size_t done = 0;
    if (torn) {
        Status ended = writeAll(descriptor, "\n", 1, done);
        if (!ended.isOk()) return ended;
        torn = false;
    }
    struct stat status;
    off_t before = fstat(descriptor, &status) == 0 ? status.st_size : -1;
    Status written = writeAll(descriptor, bytes, size, done);
    if (written.isOk()) return written;
    // A full disk takes part of a write: cut it off again.
    if (done > 0 && (before < 0 || ftruncate(descriptor, before) != 0)) torn = true;
    return written;
}

std::int64_t AppendFile::size() const {
    struct stat status;
    return fstat(int(handle), &status) == 0 ? std::int64_t(status.st_size) : -1;
}

bool AppendFile::isStillAt(const char16_t* path) const {
    struct stat open, named;
    if (fstat(int(handle), &open) != 0 || lstat(narrowPath(path).c_str(), &named) != 0) return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

void AppendFile::close() {
    if (handle == -1) return;
    ::close(int(handle));
    handle = -1;
}

bool renameReplacing(const char16_t* from, const char16_t* to) {
    return std::rename(narrowPath(from).c_str(), narrowPath(to).c_str()) == 0;
}

}  // namespace Varnix::Port
