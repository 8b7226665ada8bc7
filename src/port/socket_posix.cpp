// BSD sockets. Every descriptor is non-blocking and close-on-exec; waits are
// done with poll() against a deadline, so a call never outlasts its time-out.

#include "port/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace Varnix::Port {

namespace {

constexpr std::intptr_t noSocket = -1;

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

using Clock = std::chrono::steady_clock;

int fdOf(std::intptr_t handle) { return static_cast<int>(handle); }

Clock::time_point deadlineAfter(int seconds) {
    return Clock::now() + std::chrono::seconds(seconds < 0 ? 0 : seconds);
}

// Milliseconds left until `deadline`, 0 when it has passed.
int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

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

IPv4Address fromSockaddr(const sockaddr_in& sa) {
    IPv4Address a;
    a.host = ntohl(sa.sin_addr.s_addr);
    a.port = ntohs(sa.sin_port);
    return a;
}

bool localAddressOf(std::intptr_t handle, IPv4Address& out) {
    if (handle == noSocket) return false;
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (::getsockname(fdOf(handle), reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET)
        return false;
    out = fromSockaddr(sa);
    return true;
}

int newSocket(int type) { return ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

void closeSocket(std::intptr_t& handle) {
    if (handle == noSocket) return;
    ::close(fdOf(handle));
    handle = noSocket;
}

}  // namespace

bool initializeSockets() { return true; }

// ---------------------------------------------------------------- IPv4Address

IPv4Address IPv4Address::any(std::uint16_t port) { return IPv4Address{0, port}; }
IPv4Address IPv4Address::loopback(std::uint16_t port) { return IPv4Address{0x7F000001u, port}; }
IPv4Address IPv4Address::broadcast(std::uint16_t port) { return IPv4Address{0xFFFFFFFFu, port}; }

bool IPv4Address::resolve(const std::string& hostOrDotted, std::uint16_t port, IPv4Address& out) {
    in_addr parsed;
    if (::inet_pton(AF_INET, hostOrDotted.c_str(), &parsed) == 1) {
        out = IPv4Address{ntohl(parsed.s_addr), port};
        return true;
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (hostOrDotted.empty() || ::getaddrinfo(hostOrDotted.c_str(), nullptr, &hints, &found) != 0 || !found)
        return false;
    auto* sa = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    out = IPv4Address{ntohl(sa->sin_addr.s_addr), port};
    ::freeaddrinfo(found);
    return true;
}

std::string IPv4Address::dotted() const {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a;
    a.s_addr = htonl(host);
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

std::string IPv4Address::hostname() const {
    sockaddr_in sa = toSockaddr(*this);
    char name[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, name, sizeof name, nullptr, 0,
                      NI_NAMEREQD) == 0 && name[0] != '\0')
        return name;
    return dotted();
}

// ---------------------------------------------------------------- StreamSocket

StreamSocket::StreamSocket(std::intptr_t nativeHandle) : handle(nativeHandle) {
    if (handle == noSocket) return;
    int fd = fdOf(handle);
    // Whole messages are written at once; no need to hold small ones back.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

StreamSocket::~StreamSocket() { Destroy(); }

std::unique_ptr<StreamSocket> StreamSocket::connect(const IPv4Address& address, int timeoutSeconds,
                                                    std::string* why) {
    auto fail = [why](const std::string& reason) {
        if (why) *why = reason;
        return std::unique_ptr<StreamSocket>();
    };
    int fd = newSocket(SOCK_STREAM);
    if (fd < 0) return fail(std::string("cannot create a socket: ") + std::strerror(errno));
    auto socket = std::make_unique<StreamSocket>(fd);
    sockaddr_in sa = toSockaddr(address);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return socket;
    if (errno != EINPROGRESS && errno != EINTR) return fail(std::strerror(errno));
    short seen = pollFor(fd, POLLOUT, millisecondsLeft(deadlineAfter(timeoutSeconds)));
    if (seen == 0) return fail("timed out");
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    if (error != 0) return fail(std::strerror(error));
    return socket;
}

void StreamSocket::SetTimeout(int seconds) { timeoutSeconds = seconds < 0 ? 0 : seconds; }

void StreamSocket::Read(void* buffer, std::uint32_t count) {
    lastReadCount = 0;
    if (handle == noSocket) return;
    int fd = fdOf(handle);
    auto deadline = deadlineAfter(timeoutSeconds);
    auto* bytes = static_cast<char*>(buffer);
    while (lastReadCount < count) {
        ssize_t n = ::recv(fd, bytes + lastReadCount, count - lastReadCount, 0);
        if (n > 0) {
            lastReadCount += static_cast<std::uint32_t>(n);
        } else if (n == 0) {
            endOfStream = true;
            return;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int left = millisecondsLeft(deadline);
            if (left == 0) return;
            pollFor(fd, POLLIN, left);
        } else {
            failed = true;
            return;
        }
    }
}

void StreamSocket::Write(const void* buffer, std::uint32_t count) {
    lastWriteCount = 0;
    if (handle == noSocket) return;
    int fd = fdOf(handle);
    auto deadline = deadlineAfter(timeoutSeconds);
    auto* bytes = static_cast<const char*>(buffer);
    while (lastWriteCount < count) {
        ssize_t n = ::send(fd, bytes + lastWriteCount, count - lastWriteCount, sendFlags);
        if (n >= 0) {
            lastWriteCount += static_cast<std::uint32_t>(n);
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int left = millisecondsLeft(deadline);
            if (left == 0) return;
            // A wait that runs out ends the call: a send after it could still
            // move the last bytes of a stalled peer's window, and the caller's
            // next write would start a fresh time-out.
            if (pollFor(fd, POLLOUT, left) == 0) return;
        } else {
            failed = true;
            return;
        }
    }
}

bool StreamSocket::IsOk() const { return handle != noSocket && !failed; }

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

bool StreamSocket::WaitForRead(int milliseconds) {
    if (handle == noSocket) return true;
    return pollFor(fdOf(handle), POLLIN | peerClosedEvents, milliseconds < 0 ? 0 : milliseconds) != 0;
}

void StreamSocket::Destroy() {
    if (handle == noSocket) return;
    // Unread input would make close() reset the connection, and a reset can
    // throw away the last bytes we sent before the peer has read them.
    char sink[65536];
    for (int i = 0; i < 16 && ::recv(fdOf(handle), sink, sizeof sink, 0) > 0; ++i) {
    }
    closeSocket(handle);
}

bool StreamSocket::GetPeer(IPv4Address& out) const {
    if (handle == noSocket) return false;
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (::getpeername(fdOf(handle), reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET)
        return false;
    out = fromSockaddr(sa);
    return true;
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

bool waitForAny(StreamSocket* const* sockets, std::size_t count, ListeningSocket* listener, int milliseconds) {
    std::vector<pollfd> fds;
    fds.reserve(count + 1);
    for (std::size_t i = 0; i < count; ++i) {
        if (sockets[i]->handle == noSocket) return true;  // over already
        fds.push_back(pollfd{fdOf(sockets[i]->handle), short(POLLIN | peerClosedEvents), 0});
    }
    if (listener && listener->handle != noSocket) fds.push_back(pollfd{fdOf(listener->handle), POLLIN, 0});
    for (;;) {
        int r = ::poll(fds.data(), nfds_t(fds.size()), milliseconds < 0 ? 0 : milliseconds);
        if (r >= 0) return r > 0;
        if (errno != EINTR) return true;
    }
}

// ---------------------------------------------------------------- ListeningSocket

ListeningSocket::ListeningSocket(const IPv4Address& address) : handle(noSocket) {
    int fd = newSocket(SOCK_STREAM);
    if (fd < 0) return;
    // Lets a restarted node bind again while its old connections linger in
    // TIME_WAIT; a port held by a live listener still fails.
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = toSockaddr(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        ::close(fd);
        return;
    }
    handle = fd;
}

ListeningSocket::~ListeningSocket() { Destroy(); }

bool ListeningSocket::IsOk() const { return handle != noSocket; }

void ListeningSocket::SetTimeout(int seconds) { timeoutSeconds = seconds < 0 ? 0 : seconds; }

std::unique_ptr<StreamSocket> ListeningSocket::Accept() {
    if (handle == noSocket) return nullptr;
    int fd = fdOf(handle);
    auto deadline = deadlineAfter(timeoutSeconds);
    for (;;) {
        int accepted = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (accepted >= 0) return std::make_unique<StreamSocket>(accepted);
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
            return nullptr;
        int left = millisecondsLeft(deadline);
        if (left == 0) return nullptr;
        pollFor(fd, POLLIN, left);
    }
}

bool ListeningSocket::GetLocal(IPv4Address& out) const { return localAddressOf(handle, out); }

void ListeningSocket::Destroy() { closeSocket(handle); }

// ---------------------------------------------------------------- DatagramSocket

DatagramSocket::DatagramSocket(const IPv4Address& address) : handle(noSocket) {
    int fd = newSocket(SOCK_DGRAM);
    if (fd < 0) return;
    sockaddr_in sa = toSockaddr(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return;
    }
    handle = fd;
}

DatagramSocket::~DatagramSocket() { Destroy(); }

bool DatagramSocket::IsOk() const { return handle != noSocket; }

int DatagramSocket::RecvFrom(IPv4Address& from, void* buffer, std::size_t size) {
    if (handle == noSocket) return -1;
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    for (;;) {
        // Without MSG_TRUNC a longer datagram yields its first `size` bytes.
        ssize_t n = ::recvfrom(fdOf(handle), buffer, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &len);
        if (n >= 0) {
            if (sa.sin_family == AF_INET) from = fromSockaddr(sa);
            return static_cast<int>(n);
        }
        if (errno != EINTR) return -1;
    }
}

int DatagramSocket::SendTo(const IPv4Address& to, const void* buffer, std::size_t size) {
    if (handle == noSocket) return -1;
    sockaddr_in sa = toSockaddr(to);
    for (;;) {
        ssize_t n = ::sendto(fdOf(handle), buffer, size, MSG_DONTWAIT | sendFlags,
                             reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return -1;
    }
}

bool DatagramSocket::WaitForRead(int milliseconds) {
    if (handle == noSocket) return false;
    return (pollFor(fdOf(handle), POLLIN, milliseconds < 0 ? 0 : milliseconds) & POLLIN) != 0;
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

bool DatagramSocket::GetLocal(IPv4Address& out) const { return localAddressOf(handle, out); }

void DatagramSocket::Destroy() { closeSocket(handle); }

}  // namespace Varnix::Port
