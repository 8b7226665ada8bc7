// BSD sockets. Every descriptor is non-blocking and close-on-exec; waits are
// done with poll(), so a call never outlasts its time-out.

#include "port/socket.h"

#include "port/socket_os.h"
#include "port/utf8.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <cstring>
#include <vector>

namespace Varnix::Port {

namespace {

using SocketOs::noSocket;

#ifdef MSG_NOSIGNAL
constexpr int sendFlags = MSG_NOSIGNAL;  // a closed peer must not kill the process with SIGPIPE
#else
constexpr int sendFlags = 0;
#endif

#ifdef POLLRDHUP
constexpr short peerClosedEvents = POLLRDHUP | POLLHUP;
#else
constexpr short peerClosedEvents = POLLHUP;
#endif

int fdOf(std::intptr_t handle) { return static_cast<int>(handle); }

// Waits for `events` on `fd`; returns the events seen (0 on time-out).
short pollFor(int fd, short events, int milliseconds) {
    pollfd p{fd, events, 0};
    for (;;) {
        int r = ::poll(&p, 1, milliseconds);
        if (r >= 0) return r == 0 ? 0 : p.revents;
        if (errno != EINTR) return POLLERR;
    }
}

sockaddr_in toSockaddr(const IPv4Address& address) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address.host);
    sa.sin_port = htons(address.port);
    return sa;
}

// What getsockname() or getpeername() says about `fd`, as an IPv4 address.
template <typename Query>
bool addressOf(Query query, int fd, IPv4Address& out) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (query(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) return false;
    out = IPv4Address{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
    return true;
}

// Errors of a send that mean the connection is over, not that the file failed.
bool connectionGone(int error) {
    return error == EPIPE || error == ECONNRESET || error == ENOTCONN || error == ECONNABORTED || error == ETIMEDOUT ||
           error == EHOSTUNREACH || error == ENETUNREACH || error == ENETDOWN;
}

// sendfile() has no MSG_NOSIGNAL: SIGPIPE is held back on this thread for the
// call, and one that the call raised is taken before it is let through.
ssize_t sendfileWithoutSigpipe(int socket, int file, off_t* offset, std::size_t count) {
    sigset_t pipe, before;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &before);
    sigset_t pending;
    sigpending(&pending);
    bool pendingBefore = sigismember(&pending, SIGPIPE) == 1;
    ssize_t n;
    do n = ::sendfile(socket, file, offset, count);
    while (n < 0 && errno == EINTR);
    int error = errno;
    if (n < 0 && error == EPIPE && !pendingBefore) {
        timespec none{0, 0};
        while (sigtimedwait(&pipe, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    errno = error;
    return n;
}

int newSocket(int type) { return ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

}  // namespace

bool initializeSockets() { return true; }

// ---------------------------------------------------------------- primitives

namespace SocketOs {

bool lookUp(const std::string& hostOrDotted, std::uint32_t& host) {
    in_addr parsed;
    if (::inet_pton(AF_INET, hostOrDotted.c_str(), &parsed) == 1) {
        host = ntohl(parsed.s_addr);
        return true;
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(hostOrDotted.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    host = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    ::freeaddrinfo(found);
    return true;
}

std::string nameOf(std::uint32_t host) {
    sockaddr_in sa = toSockaddr(IPv4Address{host, 0});
    char name[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, name, sizeof name, nullptr, 0, NI_NAMEREQD) !=
        0)
        return std::string();
    return name;
}

Status newStream(std::intptr_t& created) {
    int fd = newSocket(SOCK_STREAM);
    created = fd < 0 ? noSocket : fd;
    if (fd < 0) return Status::withText(errno, std::string("cannot create a socket: ") + std::strerror(errno));
    return Status();
}

void prepareStream(std::intptr_t handle) {
    int fd = fdOf(handle);
    // Whole messages are written at once; no need to hold small ones back.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

Result<ConnectStart> startConnect(std::intptr_t handle, const IPv4Address& address) {
    sockaddr_in sa = toSockaddr(address);
    if (::connect(fdOf(handle), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return ConnectStart::connected;
    if (errno == EINPROGRESS || errno == EINTR) return ConnectStart::pending;
    return Status::fromSystem(errno);
}

Status finishConnect(std::intptr_t handle, int milliseconds) {
    int fd = fdOf(handle);
    if (pollFor(fd, POLLOUT, milliseconds) == 0) return Status::withText(ETIMEDOUT, "timed out");
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    return error == 0 ? Status() : Status::fromSystem(error);
}

long long receive(std::intptr_t handle, void* buffer, std::size_t count) {
    for (;;) {
        ssize_t n = ::recv(fdOf(handle), buffer, count, 0);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? wouldBlock : failed;
    }
}

long long send(std::intptr_t handle, const void* buffer, std::size_t count) {
    for (;;) {
        ssize_t n = ::send(fdOf(handle), buffer, count, sendFlags);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? wouldBlock : failed;
    }
}

long long sendFromFile(std::intptr_t handle, std::intptr_t file, std::int64_t offset, std::size_t count,
                       int milliseconds) {
    // The kernel takes at most this much per call anyway.
    const std::size_t most = 0x7ffff000;
    if (count > most) count = most;
    for (bool waited = false;; waited = true) {
        off_t at = off_t(offset);
        ssize_t n = sendfileWithoutSigpipe(fdOf(handle), int(file), &at, count);
        if (n >= 0) return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (waited || milliseconds <= 0 || pollFor(fdOf(handle), POLLOUT, milliseconds) == 0) return wouldBlock;
            continue;
        }
        if (connectionGone(errno)) return failed;
        // A file system that cannot hand its pages to a socket says so before
        // anything moved.
        if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return fileUnsupported;
        return fileFailed;
    }
}

bool waitReadable(std::intptr_t handle, int milliseconds) {
    return (pollFor(fdOf(handle), POLLIN, milliseconds) & POLLIN) != 0;
}

bool waitWritable(std::intptr_t handle, int milliseconds) { return pollFor(fdOf(handle), POLLOUT, milliseconds) != 0; }

bool waitReadableOrEnded(std::intptr_t handle, int milliseconds) {
    return pollFor(fdOf(handle), POLLIN | peerClosedEvents, milliseconds) != 0;
}

bool waitAny(const std::intptr_t* streams, std::size_t count, std::intptr_t listener, int milliseconds) {
    std::vector<pollfd> fds;
    fds.reserve(count + 1);
    for (std::size_t i = 0; i < count; ++i)
        fds.push_back(pollfd{fdOf(streams[i]), short(POLLIN | peerClosedEvents), 0});
    if (listener != noSocket) fds.push_back(pollfd{fdOf(listener), POLLIN, 0});
    for (;;) {
        int r = ::poll(fds.data(), nfds_t(fds.size()), milliseconds);
        if (r >= 0) return r > 0;
        if (errno != EINTR) return true;
    }
}

void close(std::intptr_t& handle) {
    if (handle == noSocket) return;
    ::close(fdOf(handle));
    handle = noSocket;
}

std::intptr_t openListener(const IPv4Address& address) {
    int fd = newSocket(SOCK_STREAM);
    if (fd < 0) return noSocket;
    // Lets a restarted node bind again while its old connections linger in
    // TIME_WAIT; a port held by a live listener still fails.
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = toSockaddr(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        ::close(fd);
        return noSocket;
    }
    return fd;
}

std::intptr_t openDatagram(const IPv4Address& address) {
    int fd = newSocket(SOCK_DGRAM);
    if (fd < 0) return noSocket;
    sockaddr_in sa = toSockaddr(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return noSocket;
    }
    return fd;
}

std::intptr_t acceptOne(std::intptr_t listener, bool& tryAgain) {
    int accepted = ::accept4(fdOf(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted >= 0) return accepted;
    tryAgain = errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED;
    return noSocket;
}

bool localAddress(std::intptr_t handle, IPv4Address& out) { return addressOf(::getsockname, fdOf(handle), out); }

bool peerAddress(std::intptr_t handle, IPv4Address& out) { return addressOf(::getpeername, fdOf(handle), out); }

int receiveFrom(std::intptr_t handle, IPv4Address& from, void* buffer, std::size_t size) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    for (;;) {
        // Without MSG_TRUNC a longer datagram yields its first `size` bytes.
        ssize_t n = ::recvfrom(fdOf(handle), buffer, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &len);
        if (n >= 0) {
            if (sa.sin_family == AF_INET) from = IPv4Address{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
            return static_cast<int>(n);
        }
        if (errno != EINTR) return -1;
    }
}

int sendTo(std::intptr_t handle, const IPv4Address& to, const void* buffer, std::size_t size) {
    sockaddr_in sa = toSockaddr(to);
    for (;;) {
        ssize_t n = ::sendto(fdOf(handle), buffer, size, MSG_DONTWAIT | sendFlags,
                             reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return -1;
    }
}

}  // namespace SocketOs

// ---------------------------------------------------------------- what only POSIX does so

bool StreamSocket::IsClosed() {
    if (handle == noSocket || failed || endOfStream) return true;
    int fd = fdOf(handle);
    short seen = pollFor(fd, POLLIN | peerClosedEvents, 0);
    if (seen & (POLLERR | POLLNVAL)) {
        failed = true;
        return true;
    }
    if (seen & peerClosedEvents) {
        // Bytes sent before the close can still be read; only then is it over.
        int waiting = 0;
        return ::ioctl(fd, FIONREAD, &waiting) != 0 || waiting == 0;
    }
    return false;
}

std::uint32_t StreamSocket::Peek(void* buffer, std::uint32_t count, bool& ended) {
    ended = true;
    if (handle == noSocket || failed) return 0;
    int fd = fdOf(handle);
    short seen = pollFor(fd, POLLIN | peerClosedEvents, 0);
    ended = endOfStream || (seen & (peerClosedEvents | POLLERR | POLLNVAL)) != 0;
    if (count == 0) return 0;
    ssize_t got = ::recv(fd, buffer, count, MSG_PEEK | MSG_DONTWAIT);
    if (got == 0) ended = true;
    return got > 0 ? std::uint32_t(got) : 0;
}

bool DatagramSocket::EnableBroadcast() {
    if (handle == noSocket) return false;
    int one = 1;
    return ::setsockopt(fdOf(handle), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0;
}

bool DatagramSocket::SetReceiveBufferSize(int bytes) {
    if (handle == noSocket) return false;
    int current = 0;
    socklen_t len = sizeof current;
    // Linux reports twice what was asked for: compare like with like.
    if (::getsockopt(fdOf(handle), SOL_SOCKET, SO_RCVBUF, &current, &len) == 0 && current / 2 >= bytes) return true;
    return ::setsockopt(fdOf(handle), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

void setListenerOptions(std::intptr_t socket) {
    int one = 1;
    ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

std::vector<std::string> SocketOs::rawHardwareAddresses() {
    std::vector<std::string> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return found;
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET) continue;
        if ((entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
        const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
        found.emplace_back(reinterpret_cast<const char*>(link->sll_addr), std::size_t(link->sll_halen));
    }
    ::freeifaddrs(list);
    return found;
}

std::u16string machineName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    int bytes = int(std::strlen(name));
    std::u16string text(std::size_t(Utf8::decode(name, bytes, nullptr, 0, Utf8::BadInput::replace)), u'\0');
    Utf8::decode(name, bytes, &text[0], int(text.size()), Utf8::BadInput::replace);
    return text;
}

}  // namespace Varnix::Port
