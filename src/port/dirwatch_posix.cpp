// inotify and poll(). The watch is an inotify descriptor of its own, so a
// wait is one poll() over it and the sockets.

#include "port/dirwatch.h"

#include "port/path.h"

#include "port/socket.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace Varnix::Port {

namespace {

constexpr std::intptr_t noWatch = -1;

#ifdef POLLRDHUP
constexpr short peerClosedEvents = POLLRDHUP | POLLHUP;
#else
constexpr short peerClosedEvents = POLLHUP;
#endif

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads every queued event; true when there was one.
bool drain(int fd) {
    alignas(inotify_event) char buffer[4096];
    bool any = false;
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return any;
    }
}

bool usable(StreamSocket* socket) { return socket && socket->nativeHandle() >= 0; }

}  // namespace

DirectoryWatch::DirectoryWatch(const char16_t* path) : handle(noWatch) {
    int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return;
    // Closed after writing, or renamed or moved in; never a bare creation.
    if (::inotify_add_watch(fd, narrowPath(path).c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR) < 0) {
        ::close(fd);
        return;
    }
    handle = fd;
}

DirectoryWatch::~DirectoryWatch() {
    if (handle != noWatch) ::close(static_cast<int>(handle));
}

bool DirectoryWatch::IsOk() const { return handle != noWatch; }

Activity waitForActivity(DirectoryWatch* watch, StreamSocket* incoming, StreamSocket* closing, int milliseconds) {
    Activity seen;
    if (closing && closing->IsClosed()) seen.closed = true;
    auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds);
    pollfd fds[3];
    fds[0] = {watch && watch->IsOk() ? static_cast<int>(watch->nativeHandle()) : -1, POLLIN, 0};
    fds[1] = {usable(incoming) ? static_cast<int>(incoming->nativeHandle()) : -1, short(POLLIN | peerClosedEvents), 0};
    fds[2] = {!seen.closed && usable(closing) ? static_cast<int>(closing->nativeHandle()) : -1, peerClosedEvents, 0};
    if (incoming && !usable(incoming)) seen.readable = true;  // a read finds the end at once
    for (;;) {
        int timeout = seen.any() ? 0 : millisecondsLeft(deadline);
        int ready = ::poll(fds, 3, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return seen;
        if (fds[0].revents && drain(fds[0].fd)) seen.directoryChanged = true;
        if (fds[1].revents) seen.readable = true;
        if (fds[2].revents) {
            // A peer that closed after sending bytes is not over until they
            // are read: leave it out for the rest of this wait.
            if (closing->IsClosed()) seen.closed = true;
            fds[2].fd = -1;
        }
        if (seen.any()) return seen;
    }
}

}  // namespace Varnix::Port
