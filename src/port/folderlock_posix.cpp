#include "port/folderlock.h"

#include "port/path.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace Varnix::Port {

FolderLock::FolderLock(const char16_t* path) {
    // Close-on-exec: a renderer started by the node must not keep the folder
    // locked after the node has gone.
    int fd = ::open(narrowPath(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        current = errno == EWOULDBLOCK ? State::heldElsewhere : State::unavailable;
        ::close(fd);
        return;
    }
    handle = fd;
    current = State::held;
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);
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

}  // namespace Varnix::Port
