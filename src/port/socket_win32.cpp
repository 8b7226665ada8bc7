// Winsock 2. Every socket is non-blocking and non-inheritable, so the renderer
// that the node starts through the command interpreter never holds its ports;
// waits are done with select() and WSAPoll().

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif

#include "port/socket.h"

#include "port/socket_os.h"

#include <winsock2.h>
#include <mswsock.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <atomic>
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

using SocketOs::noSocket;

static_assert(static_cast<std::intptr_t>(INVALID_SOCKET) == noSocket, "INVALID_SOCKET is noSocket");

SOCKET sockOf(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

bool startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
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

// What getsockname() or getpeername() says about `s`, as an IPv4 address.
template <typename Query>
bool addressOf(Query query, SOCKET s, IPv4Address& out) {
    sockaddr_in sa;
    int len = sizeof sa;
    if (query(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) return false;
    out = IPv4Address{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
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

std::string errorText(int code) {
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, DWORD(code), 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.'))
        text[--n] = '\0';
    return n > 0 ? std::string(text) : "socket error " + std::to_string(code);
}

bool mustWait(int error) { return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS || error == WSAEINTR; }

}  // namespace

bool initializeSockets() { return startWinsock(); }

// ---------------------------------------------------------------- primitives

namespace SocketOs {

bool lookUp(const std::string& hostOrDotted, std::uint32_t& host) {
    if (!startWinsock()) return false;
    in_addr parsed;
    if (inet_pton(AF_INET, hostOrDotted.c_str(), &parsed) == 1) {
        host = ntohl(parsed.s_addr);
        return true;
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(hostOrDotted.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    host = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    return true;
}

std::string nameOf(std::uint32_t host) {
    if (!startWinsock()) return std::string();
    sockaddr_in sa = toSockaddr(IPv4Address{host, 0});
    char name[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, name, sizeof name, nullptr, 0, NI_NAMEREQD) != 0)
        return std::string();
    return name;
}

Status newStream(std::intptr_t& created) {
    SOCKET s = newSocket(SOCK_STREAM, IPPROTO_TCP);
    created = static_cast<std::intptr_t>(s);
    if (s == INVALID_SOCKET) {
        int error = WSAGetLastError();
        return Status::withText(error, "cannot create a socket: " + errorText(error));
    }
    return Status();
}

void prepareStream(std::intptr_t handle) {
    SOCKET s = sockOf(handle);
    makeNonBlockingAndPrivate(s);
    // Whole messages are written at once; no need to hold small ones back.
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

Result<ConnectStart> startConnect(std::intptr_t handle, const IPv4Address& address) {
    sockaddr_in sa = toSockaddr(address);
    if (::connect(sockOf(handle), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return ConnectStart::connected;
    int error = WSAGetLastError();
    if (mustWait(error)) return ConnectStart::pending;
    return Status::withText(error, errorText(error));
}

Status finishConnect(std::intptr_t handle, int milliseconds) {
    SOCKET s = sockOf(handle);
    // A failed attempt shows in the exception set, a finished one as writable.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv;
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    int ready = select(0, nullptr, &writable, &failed, &tv);
    if (ready == 0) return Status::withText(WSAETIMEDOUT, "timed out");
    int error = 0;
    int len = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len);
    if (ready < 0 || FD_ISSET(s, &failed) || error != 0) {
        if (error == 0) error = WSAECONNREFUSED;
        return Status::withText(error, errorText(error));
    }
    return Status();
}

long long receive(std::intptr_t handle, void* buffer, std::size_t count) {
    int n = recv(sockOf(handle), static_cast<char*>(buffer), int(count), 0);
    if (n >= 0) return n;
    return mustWait(WSAGetLastError()) ? SocketOs::wouldBlock : failed;
}

namespace {

// TransmitFile is taken from Winsock's extension table, as Winsock asks, once.
LPFN_TRANSMITFILE transmitFileFor(SOCKET s) {
    static std::atomic<LPFN_TRANSMITFILE> found{nullptr};
    LPFN_TRANSMITFILE transmit = found.load();
    if (transmit) return transmit;
    GUID id = WSAID_TRANSMITFILE;
    DWORD size = 0;
    if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &transmit, sizeof transmit, &size, nullptr,
                 nullptr) != 0)
        return nullptr;
    found.store(transmit);
    return transmit;
}

// Errors of a transmit that mean the connection is over, not the file.
bool connectionGone(DWORD error) {
    switch (error) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENOTCONN:
    case WSAESHUTDOWN:
    case WSAENETRESET:
    case WSAETIMEDOUT:
    case WSAENETDOWN:
    case WSAEHOSTUNREACH:
    case WSAENOTSOCK:
    case ERROR_NETNAME_DELETED:
    case ERROR_CONNECTION_ABORTED:
    case ERROR_GRACEFUL_DISCONNECT: return true;
    default: return false;
    }
}

// Whether the peer has reset the connection, without taking any byte it sent.
bool resetByPeer(SOCKET s) {
    WSAPOLLFD one{};
    one.fd = s;
    one.events = POLLRDNORM;
    if (WSAPoll(&one, 1, 0) <= 0) return false;
    char byte;
    return ::recv(s, &byte, 1, MSG_PEEK) == SOCKET_ERROR && connectionGone(DWORD(WSAGetLastError()));
}

// Waits up to `milliseconds` for a transmit to finish; false when it has not.
// Some Winsock layers (Wine's) leave a transmit waiting for room after the
// peer has reset the connection, so the wait looks for the reset too and sets
// `reset` when it ended the wait.
bool waitTransmit(SOCKET s, HANDLE done, int milliseconds, bool& reset) {
    const ULONGLONG deadline = GetTickCount64() + ULONGLONG(milliseconds);
    for (;;) {
        ULONGLONG now = GetTickCount64();
        DWORD slice = now >= deadline ? 0 : DWORD(std::min<ULONGLONG>(deadline - now, 250));
        if (WaitForSingleObject(done, slice) == WAIT_OBJECT_0) return true;
        if (GetTickCount64() >= deadline) return false;
        if (resetByPeer(s)) {
            reset = true;
            return false;
        }
    }
}

}  // namespace

long long sendFromFile(std::intptr_t handle, std::intptr_t file, std::int64_t offset, std::size_t count,
                       int milliseconds) {
    SOCKET s = sockOf(handle);
    LPFN_TRANSMITFILE transmit = transmitFileFor(s);
    if (!transmit) return fileUnsupported;
    // One piece per transmit: a transmit still under way cannot say how far
    // it got, and each piece has its own deadline.
    std::uint64_t toPieceEnd = fileSendPieceBytes - std::uint64_t(offset) % fileSendPieceBytes;
    DWORD ask = DWORD(count < toPieceEnd ? count : toPieceEnd);
    for (bool waited = false;; waited = true) {
        OVERLAPPED overlapped;
        std::memset(&overlapped, 0, sizeof overlapped);
        overlapped.Offset = DWORD(std::uint64_t(offset));
        overlapped.OffsetHigh = DWORD(std::uint64_t(offset) >> 32);
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!overlapped.hEvent) return fileFailed;
        DWORD error = 0;
        DWORD moved = 0;
        if (!transmit(s, reinterpret_cast<HANDLE>(file), ask, 0, &overlapped, nullptr, 0)) error = WSAGetLastError();
        if (error == 0 || error == WSA_IO_PENDING) {
            // Cancelled at the deadline: what went before it still counts.
            bool reset = false;
            if (!waitTransmit(s, overlapped.hEvent, milliseconds < 0 ? 0 : milliseconds, reset))
                CancelIoEx(reinterpret_cast<HANDLE>(s), &overlapped);
            DWORD flags = 0;
            error = WSAGetOverlappedResult(s, &overlapped, &moved, TRUE, &flags) ? 0 : WSAGetLastError();
            if (reset) return failed;
        }
        CloseHandle(overlapped.hEvent);
        if (error == 0) return moved;  // fewer than asked: the file ended
        if (error == WSA_OPERATION_ABORTED || error == ERROR_OPERATION_ABORTED) return moved > 0 ? moved : wouldBlock;
        if (mustWait(int(error))) {
            if (waited || milliseconds <= 0 || !waitOn(s, waitWrite, milliseconds)) return wouldBlock;
            continue;
        }
        return connectionGone(error) ? failed : fileFailed;
    }
}

long long send(std::intptr_t handle, const void* buffer, std::size_t count) {
    int n = ::send(sockOf(handle), static_cast<const char*>(buffer), int(count), 0);
    if (n >= 0) return n;
    return mustWait(WSAGetLastError()) ? SocketOs::wouldBlock : failed;
}

bool waitReadable(std::intptr_t handle, int milliseconds) { return waitOn(sockOf(handle), waitRead, milliseconds); }

bool waitWritable(std::intptr_t handle, int milliseconds) { return waitOn(sockOf(handle), waitWrite, milliseconds); }

bool waitReadableOrEnded(std::intptr_t handle, int milliseconds) {
    return waitOn(sockOf(handle), waitRead, milliseconds);
}

bool waitAny(const std::intptr_t* streams, std::size_t count, std::intptr_t listener, int milliseconds) {
    std::vector<WSAPOLLFD> fds;
    fds.reserve(count + 1);
    for (std::size_t i = 0; i < count; ++i) {
        WSAPOLLFD one{};
        one.fd = sockOf(streams[i]);
        one.events = POLLRDNORM;
        fds.push_back(one);
    }
    if (listener != noSocket) {
        WSAPOLLFD one{};
        one.fd = sockOf(listener);
        one.events = POLLRDNORM;
        fds.push_back(one);
    }
    if (fds.empty()) {
        Sleep(DWORD(milliseconds));
        return false;
    }
    return WSAPoll(fds.data(), ULONG(fds.size()), milliseconds) != 0;
}

void close(std::intptr_t& handle) {
    if (handle == noSocket) return;
    closesocket(sockOf(handle));
    handle = noSocket;
}

std::intptr_t openListener(const IPv4Address& address) {
    SOCKET s = newSocket(SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return noSocket;
    // No SO_EXCLUSIVEADDRUSE: it would refuse the port while the last job's
    // connections linger in TIME_WAIT, and a restarted node could not bind.
    sockaddr_in sa = toSockaddr(address);
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(s, SOMAXCONN) != 0) {
        closesocket(s);
        return noSocket;
    }
    return static_cast<std::intptr_t>(s);
}

std::intptr_t openDatagram(const IPv4Address& address) {
    SOCKET s = newSocket(SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return noSocket;
    // Without this, a reply to a sender that has gone makes the next receive
    // fail with a reset instead of returning the next datagram.
    BOOL report = FALSE;
    DWORD returned = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
    sockaddr_in sa = toSockaddr(address);
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        closesocket(s);
        return noSocket;
    }
    return static_cast<std::intptr_t>(s);
}

std::intptr_t acceptOne(std::intptr_t listener, bool& tryAgain) {
    SOCKET accepted = accept(sockOf(listener), nullptr, nullptr);
    if (accepted != INVALID_SOCKET) return static_cast<std::intptr_t>(accepted);
    int error = WSAGetLastError();
    tryAgain = mustWait(error) || error == WSAECONNRESET;
    return noSocket;
}

bool localAddress(std::intptr_t handle, IPv4Address& out) { return addressOf(getsockname, sockOf(handle), out); }

bool peerAddress(std::intptr_t handle, IPv4Address& out) { return addressOf(getpeername, sockOf(handle), out); }

int receiveFrom(std::intptr_t handle, IPv4Address& from, void* buffer, std::size_t size) {
    sockaddr_in sa;
    int len = sizeof sa;
    int n = recvfrom(sockOf(handle), static_cast<char*>(buffer), int(size), 0, reinterpret_cast<sockaddr*>(&sa), &len);
    // A longer datagram fills the buffer and reports WSAEMSGSIZE; its first
    // bytes are what we keep.
    if (n < 0 && WSAGetLastError() == WSAEMSGSIZE) n = int(size);
    if (n < 0) return -1;
    if (sa.sin_family == AF_INET) from = IPv4Address{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
    return n;
}

int sendTo(std::intptr_t handle, const IPv4Address& to, const void* buffer, std::size_t size) {
    sockaddr_in sa = toSockaddr(to);
    int n = sendto(sockOf(handle), static_cast<const char*>(buffer), int(size), 0,
                   reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n < 0 ? -1 : n;
}

}  // namespace SocketOs

// ---------------------------------------------------------------- what only Windows does so

bool StreamSocket::IsClosed() {
    if (handle == noSocket || failed || endOfStream) return true;
    SOCKET s = sockOf(handle);
    if (!waitOn(s, waitRead, 0)) return false;
    // Readable: either bytes wait (still open for reading) or the peer is gone.
    char c;
    int n = recv(s, &c, 1, MSG_PEEK);
    if (n > 0) return false;
    if (n == 0) return true;
    if (mustWait(WSAGetLastError())) return false;
    failed = true;
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
    if (got == 0 || !mustWait(WSAGetLastError())) ended = true;
    return 0;
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

void setListenerOptions(std::intptr_t) {
    // Windows refuses a port a live listener holds unless the newcomer asks
    // for SO_REUSEADDR, and rebinds during TIME_WAIT by itself: nothing to set.
}

std::u16string machineName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &length)) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(name), length);
}

std::vector<std::string> SocketOs::rawHardwareAddresses() {
    std::vector<std::string> found;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    // The list can grow between the size asked for and the call.
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result =
            GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                 nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR) return found;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
         adapter = adapter->Next) {
        if (adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        found.emplace_back(reinterpret_cast<const char*>(adapter->PhysicalAddress),
                           std::size_t(adapter->PhysicalAddressLength));
    }
    return found;
}

}  // namespace Varnix::Port
