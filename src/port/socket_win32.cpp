// Winsock 2. Every socket is non-blocking and non-inheritable, so the renderer
// that the node starts through the command interpreter never holds its ports;
// waits are done with select() against a deadline.

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif

#include "port/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <vector>

#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace Varnix::Port {

namespace {

constexpr std::intptr_t noSocket = static_cast<std::intptr_t>(INVALID_SOCKET);

using Clock = std::chrono::steady_clock;

SOCKET sockOf(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

bool startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

Clock::time_point deadlineAfter(int seconds) {
    return Clock::now() + std::chrono::seconds(seconds < 0 ? 0 : seconds);
}

int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

enum WaitFor { waitRead = 1, waitWrite = 2 };

// Waits for `what` on one socket; true when it is ready (or has an error).
bool waitOn(SOCKET s, int what, int milliseconds) {
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if (what & waitRead) FD_SET(s, &readable);
    if (what & waitWrite) FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv;
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    return select(0, &readable, &writable, &failed, &tv) > 0;
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
    int len = sizeof sa;
    if (getsockname(sockOf(handle), reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET)
        return false;
    out = fromSockaddr(sa);
    return true;
}

void makeNonBlockingAndPrivate(SOCKET s) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

SOCKET newSocket(int type, int protocol) {
    if (!startWinsock()) return INVALID_SOCKET;
    SOCKET s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)  // systems without the flag: made private below instead
        s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s != INVALID_SOCKET) makeNonBlockingAndPrivate(s);
    return s;
}

void closeSocket(std::intptr_t& handle) {
    if (handle == noSocket) return;
    closesocket(sockOf(handle));
    handle = noSocket;
}

std::string errorText(int code) {
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, DWORD(code), 0,
                             text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.'))
        text[--n] = '\0';
    return n > 0 ? std::string(text) : "socket error " + std::to_string(code);
}

bool wouldBlock(int error) { return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS || error == WSAEINTR; }

}  // namespace

bool initializeSockets() { return startWinsock(); }

// ---------------------------------------------------------------- IPv4Address

IPv4Address IPv4Address::any(std::uint16_t port) { return IPv4Address{0, port}; }
IPv4Address IPv4Address::loopback(std::uint16_t port) { return IPv4Address{0x7F000001u, port}; }
IPv4Address IPv4Address::broadcast(std::uint16_t port) { return IPv4Address{0xFFFFFFFFu, port}; }

bool IPv4Address::resolve(const std::string& hostOrDotted, std::uint16_t port, IPv4Address& out) {
    if (hostOrDotted.empty() || !startWinsock()) return false;
    in_addr parsed;
    if (inet_pton(AF_INET, hostOrDotted.c_str(), &parsed) == 1) {
        out = IPv4Address{ntohl(parsed.s_addr), port};
        return true;
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(hostOrDotted.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    auto* sa = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    out = IPv4Address{ntohl(sa->sin_addr.s_addr), port};
    freeaddrinfo(found);
    return true;
}

std::string IPv4Address::dotted() const {
    return std::to_string(host >> 24) + "." + std::to_string((host >> 16) & 0xFF) + "." +
           std::to_string((host >> 8) & 0xFF) + "." + std::to_string(host & 0xFF);
}

std::string IPv4Address::hostname() const {
    if (!startWinsock()) return dotted();
    sockaddr_in sa = toSockaddr(*this);
    char name[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, name, sizeof name, nullptr, 0,
                    NI_NAMEREQD) == 0 && name[0] != '\0')
        return name;
    return dotted();
}

// ---------------------------------------------------------------- StreamSocket

StreamSocket::StreamSocket(std::intptr_t nativeHandle) : handle(nativeHandle) {
    if (handle == noSocket) return;
    SOCKET s = sockOf(handle);
    makeNonBlockingAndPrivate(s);
    // Whole messages are written at once; no need to hold small ones back.
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

StreamSocket::~StreamSocket() { Destroy(); }

std::unique_ptr<StreamSocket> StreamSocket::connect(const IPv4Address& address, int timeoutSeconds,
                                                    std::string* why) {
    auto fail = [why](const std::string& reason) {
        if (why) *why = reason;
        return std::unique_ptr<StreamSocket>();
    };
    SOCKET s = newSocket(SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return fail("cannot create a socket: " + errorText(WSAGetLastError()));
    auto socket = std::make_unique<StreamSocket>(static_cast<std::intptr_t>(s));
    sockaddr_in sa = toSockaddr(address);
    if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return socket;
    int error = WSAGetLastError();
    if (!wouldBlock(error)) return fail(errorText(error));

    // A failed attempt shows in the exception set, a finished one as writable.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    int ms = millisecondsLeft(deadlineAfter(timeoutSeconds));
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    int ready = select(0, nullptr, &writable, &failed, &tv);
    if (ready == 0) return fail("timed out");
    error = 0;
    int len = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len);
    if (ready < 0 || FD_ISSET(s, &failed) || error != 0)
        return fail(errorText(error != 0 ? error : WSAECONNREFUSED));
    return socket;
}

void StreamSocket::SetTimeout(int seconds) { timeoutSeconds = seconds < 0 ? 0 : seconds; }

void StreamSocket::Read(void* buffer, std::uint32_t count) {
    lastReadCount = 0;
    if (handle == noSocket) return;
    SOCKET s = sockOf(handle);
    auto deadline = deadlineAfter(timeoutSeconds);
    auto* bytes = static_cast<char*>(buffer);
    while (lastReadCount < count) {
        int n = recv(s, bytes + lastReadCount, int(count - lastReadCount), 0);
        if (n > 0) {
            lastReadCount += static_cast<std::uint32_t>(n);
        } else if (n == 0) {
            endOfStream = true;
            return;
        } else if (wouldBlock(WSAGetLastError())) {
            int left = millisecondsLeft(deadline);
            if (left == 0) return;
            waitOn(s, waitRead, left);
        } else {
            failed = true;
            return;
        }
    }
}

void StreamSocket::Write(const void* buffer, std::uint32_t count) {
    lastWriteCount = 0;
    if (handle == noSocket) return;
    SOCKET s = sockOf(handle);
    auto deadline = deadlineAfter(timeoutSeconds);
    auto* bytes = static_cast<const char*>(buffer);
    while (lastWriteCount < count) {
        int n = send(s, bytes + lastWriteCount, int(count - lastWriteCount), 0);
        if (n >= 0) {
            lastWriteCount += static_cast<std::uint32_t>(n);
        } else if (wouldBlock(WSAGetLastError())) {
            int left = millisecondsLeft(deadline);
            if (left == 0) return;
            // A wait that runs out ends the call (see the POSIX side).
            if (!waitOn(s, waitWrite, left)) return;
        } else {
            failed = true;
            return;
        }
    }
}

bool StreamSocket::IsOk() const { return handle != noSocket && !failed; }

bool StreamSocket::IsClosed() {
    if (handle == noSocket || failed || endOfStream) return true;
    SOCKET s = sockOf(handle);
    if (!waitOn(s, waitRead, 0)) return false;
    // Readable: either bytes wait (still open for reading) or the peer is gone.
    char c;
    int n = recv(s, &c, 1, MSG_PEEK);
    if (n > 0) return false;
    if (n == 0) return true;
    if (wouldBlock(WSAGetLastError())) return false;
    failed = true;
    return true;
}

bool StreamSocket::WaitForRead(int milliseconds) {
    if (handle == noSocket) return true;
    return waitOn(sockOf(handle), waitRead, milliseconds < 0 ? 0 : milliseconds);
}

void StreamSocket::Destroy() {
    if (handle == noSocket) return;
    // Unread input would make closesocket() reset the connection, and a reset
    // can throw away the last bytes we sent before the peer has read them.
    char sink[65536];
    for (int i = 0; i < 16 && recv(sockOf(handle), sink, sizeof sink, 0) > 0; ++i) {
    }
    closeSocket(handle);
}

bool StreamSocket::GetPeer(IPv4Address& out) const {
    if (handle == noSocket) return false;
    sockaddr_in sa;
    int len = sizeof sa;
    if (getpeername(sockOf(handle), reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET)
        return false;
    out = fromSockaddr(sa);
    return true;
}

std::uint32_t StreamSocket::Peek(void* buffer, std::uint32_t count, bool& ended) {
    ended = true;
    if (handle == noSocket || failed) return 0;
    ended = endOfStream;
    if (count == 0) return 0;
    SOCKET s = sockOf(handle);
    if (!waitOn(s, waitRead, 0)) return 0;
    int got = recv(s, static_cast<char*>(buffer), int(count > 0x7FFFFFFF ? 0x7FFFFFFF : count), MSG_PEEK);
    if (got > 0) return std::uint32_t(got);
    // Readable with nothing to read: the peer has closed or the link failed.
    if (got == 0 || !wouldBlock(WSAGetLastError())) ended = true;
    return 0;
}

bool waitForAny(StreamSocket* const* sockets, std::size_t count, ListeningSocket* listener, int milliseconds) {
    std::vector<WSAPOLLFD> fds;
    fds.reserve(count + 1);
    for (std::size_t i = 0; i < count; ++i) {
        if (sockets[i]->handle == noSocket) return true;  // over already
        WSAPOLLFD one{};
        one.fd = sockOf(sockets[i]->handle);
        one.events = POLLRDNORM;
        fds.push_back(one);
    }
    if (listener && listener->handle != noSocket) {
        WSAPOLLFD one{};
        one.fd = sockOf(listener->handle);
        one.events = POLLRDNORM;
        fds.push_back(one);
    }
    if (fds.empty()) {
        Sleep(DWORD(milliseconds < 0 ? 0 : milliseconds));
        return false;
    }
    int r = WSAPoll(fds.data(), ULONG(fds.size()), milliseconds < 0 ? 0 : milliseconds);
    return r != 0;
}

// ---------------------------------------------------------------- ListeningSocket

ListeningSocket::ListeningSocket(const IPv4Address& address) : handle(noSocket) {
    SOCKET s = newSocket(SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return;
    // No SO_EXCLUSIVEADDRUSE: it would refuse the port while the last job's
    // connections linger in TIME_WAIT, and a restarted node could not bind.
    sockaddr_in sa = toSockaddr(address);
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(s, SOMAXCONN) != 0) {
        closesocket(s);
        return;
    }
    handle = static_cast<std::intptr_t>(s);
}

ListeningSocket::~ListeningSocket() { Destroy(); }

bool ListeningSocket::IsOk() const { return handle != noSocket; }

void ListeningSocket::SetTimeout(int seconds) { timeoutSeconds = seconds < 0 ? 0 : seconds; }

std::unique_ptr<StreamSocket> ListeningSocket::Accept() {
    if (handle == noSocket) return nullptr;
    SOCKET s = sockOf(handle);
    auto deadline = deadlineAfter(timeoutSeconds);
    for (;;) {
        SOCKET accepted = accept(s, nullptr, nullptr);
        if (accepted != INVALID_SOCKET) return std::make_unique<StreamSocket>(static_cast<std::intptr_t>(accepted));
        int error = WSAGetLastError();
        if (!wouldBlock(error) && error != WSAECONNRESET) return nullptr;
        int left = millisecondsLeft(deadline);
        if (left == 0) return nullptr;
        waitOn(s, waitRead, left);
    }
}

bool ListeningSocket::GetLocal(IPv4Address& out) const { return localAddressOf(handle, out); }

void ListeningSocket::Destroy() { closeSocket(handle); }

// ---------------------------------------------------------------- DatagramSocket

DatagramSocket::DatagramSocket(const IPv4Address& address) : handle(noSocket) {
    SOCKET s = newSocket(SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return;
    // Without this, a reply to a sender that has gone makes the next receive
    // fail with a reset instead of returning the next datagram.
    BOOL report = FALSE;
    DWORD returned = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
    sockaddr_in sa = toSockaddr(address);
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        closesocket(s);
        return;
    }
    handle = static_cast<std::intptr_t>(s);
}

DatagramSocket::~DatagramSocket() { Destroy(); }

bool DatagramSocket::IsOk() const { return handle != noSocket; }

int DatagramSocket::RecvFrom(IPv4Address& from, void* buffer, std::size_t size) {
    if (handle == noSocket) return -1;
    sockaddr_in sa;
    int len = sizeof sa;
    int n = recvfrom(sockOf(handle), static_cast<char*>(buffer), int(size), 0, reinterpret_cast<sockaddr*>(&sa), &len);
    // A longer datagram fills the buffer and reports WSAEMSGSIZE; its first
    // bytes are what we keep.
    if (n < 0 && WSAGetLastError() == WSAEMSGSIZE) n = int(size);
    if (n < 0) return -1;
    if (sa.sin_family == AF_INET) from = fromSockaddr(sa);
    return n;
}

int DatagramSocket::SendTo(const IPv4Address& to, const void* buffer, std::size_t size) {
    if (handle == noSocket) return -1;
    sockaddr_in sa = toSockaddr(to);
    int n = sendto(sockOf(handle), static_cast<const char*>(buffer), int(size), 0,
                   reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n < 0 ? -1 : n;
}

bool DatagramSocket::WaitForRead(int milliseconds) {
    if (handle == noSocket) return false;
    return waitOn(sockOf(handle), waitRead, milliseconds < 0 ? 0 : milliseconds);
}

bool DatagramSocket::EnableBroadcast() {
    if (handle == noSocket) return false;
    BOOL one = TRUE;
    return setsockopt(sockOf(handle), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

bool DatagramSocket::SetReceiveBufferSize(int bytes) {
    if (handle == noSocket) return false;
    int current = 0;
    int len = sizeof current;
    if (getsockopt(sockOf(handle), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&current), &len) == 0 &&
        current >= bytes)
        return true;
    return setsockopt(sockOf(handle), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

bool DatagramSocket::GetLocal(IPv4Address& out) const { return localAddressOf(handle, out); }

void DatagramSocket::Destroy() { closeSocket(handle); }

}  // namespace Varnix::Port
