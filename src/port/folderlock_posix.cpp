#include "port/folderlock.h"

#include "port/path.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Varnix::Port {

std::intptr_t FolderLock::lockFile(const std::u16string& path, State& why) {
    // Close-on-exec: a renderer started by the node must not keep the folder
    // locked after the node has gone.
    int fd = ::open(narrowPath(path.c_str()).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        why = State::unavailable;
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        why = errno == EWOULDBLOCK ? State::heldElsewhere : State::unavailable;
        ::close(fd);
        return -1;
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);
    why = State::held;
    return fd;
}

FolderLock::FolderLock(const char16_t* path) : path(path) { handle = lockFile(this->path, current); }

FolderLock::State FolderLock::renew() {
    if (handle < 0) return current;
    struct stat held {};
    struct stat named {};
    if (::fstat(static_cast<int>(handle), &held) != 0) return current;
    if (::stat(narrowPath(path.c_str()).c_str(), &named) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino)
        return current;
    State now = State::unavailable;
    std::intptr_t renewed = lockFile(path, now);
    // A path that cannot be opened (the folder is gone) keeps the old lock.
    if (renewed < 0 && now == State::unavailable) return current;
    ::close(static_cast<int>(handle));
    handle = renewed;
    current = now;
    return current;
}

FolderLock::~FolderLock() {
    if (handle >= 0) ::close(static_cast<int>(handle));
}

std::uint32_t FolderLock::holderProcessId(const char16_t* path) {
    int fd = ::open(narrowPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 0;
    char text[32] = {};
    ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    return got > 0 ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : 0;
}

void bringWindowForward(std::uint32_t, const char16_t*) {}

long otherSessionOf(std::uint32_t) { return -1; }

}  // namespace Varnix::Port
