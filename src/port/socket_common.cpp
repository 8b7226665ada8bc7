// What sockets do the same on every system: addresses, deadlines, and the
// loops that read, write and accept against a deadline, written over the
// platform's primitives (socket_os.h).

#include "port/socket.h"

#include "port/files.h"
#include "port/socket_os.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace Varnix::Port {

namespace {

using SocketOs::noSocket;
using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(int seconds) { return Clock::now() + std::chrono::seconds(seconds < 0 ? 0 : seconds); }

// Milliseconds left until `deadline`, 0 when it has passed.
int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

int notNegative(int milliseconds) { return milliseconds < 0 ? 0 : milliseconds; }

}  // namespace

// ---------------------------------------------------------------- IPv4Address

IPv4Address IPv4Address::any(std::uint16_t port) { return IPv4Address{0, port}; }
IPv4Address IPv4Address::loopback(std::uint16_t port) { return IPv4Address{0x7F000001u, port}; }
IPv4Address IPv4Address::broadcast(std::uint16_t port) { return IPv4Address{0xFFFFFFFFu, port}; }

bool IPv4Address::resolve(const std::string& hostOrDotted, std::uint16_t port, IPv4Address& out) {
    std::uint32_t host = 0;
    if (hostOrDotted.empty() || !SocketOs::lookUp(hostOrDotted, host)) return false;
    out = IPv4Address{host, port};
    return true;
}

std::string IPv4Address::dotted() const {
    return std::to_string(host >> 24) + "." + std::to_string((host >> 16) & 0xFF) + "." +
           std::to_string((host >> 8) & 0xFF) + "." + std::to_string(host & 0xFF);
}

std::string IPv4Address::hostname() const {
    std::string name = SocketOs::nameOf(host);
    return name.empty() ? dotted() : name;
}

// ---------------------------------------------------------------- StreamSocket

StreamSocket::StreamSocket(std::intptr_t nativeHandle) : handle(nativeHandle) {
    if (handle != noSocket) SocketOs::prepareStream(handle);
}

StreamSocket::~StreamSocket() { Destroy(); }

Result<std::unique_ptr<StreamSocket>> StreamSocket::connect(const IPv4Address& address, int timeoutSeconds) {
    std::intptr_t created = noSocket;
    Status made = SocketOs::newStream(created);
    if (!made.isOk()) return made;
    auto socket = std::make_unique<StreamSocket>(created);
    Result<SocketOs::ConnectStart> started = SocketOs::startConnect(created, address);
    if (!started.isOk()) return started.status();
    if (started.value() == SocketOs::ConnectStart::pending) {
        Status finished = SocketOs::finishConnect(created, millisecondsLeft(deadlineAfter(timeoutSeconds)));
        if (!finished.isOk()) return finished;
    }
    return {std::move(socket)};
}

void StreamSocket::SetTimeout(int seconds) { timeoutSeconds = seconds < 0 ? 0 : seconds; }

void StreamSocket::Read(void* buffer, std::uint32_t count) {
    lastReadCount = 0;
    if (handle == noSocket) return;
    auto deadline = deadlineAfter(timeoutSeconds);
    auto* bytes = static_cast<char*>(buffer);
    while (lastReadCount < count) {
        long long n = SocketOs::receive(handle, bytes + lastReadCount, count - lastReadCount);
        if (n > 0) {
            lastReadCount += static_cast<std::uint32_t>(n);
        } else if (n == 0) {
            endOfStream = true;
            return;
        } else if (n == SocketOs::wouldBlock) {
            int left = millisecondsLeft(deadline);
            if (left == 0) return;
            SocketOs::waitReadable(handle, left);
        } else {
            failed = true;
            return;
        }
    }
}

void StreamSocket::Write(const void* buffer, std::uint32_t count) {
    lastWriteCount = 0;
    if (handle == noSocket) return;
    auto deadline = deadlineAfter(timeoutSeconds);
    auto* bytes = static_cast<const char*>(buffer);
    while (lastWriteCount < count) {
        long long n = SocketOs::send(handle, bytes + lastWriteCount, count - lastWriteCount);
        if (n >= 0) {
            lastWriteCount += static_cast<std::uint32_t>(n);
        } else if (n == SocketOs::wouldBlock) {
            int left = millisecondsLeft(deadline);
            if (left == 0) return;
            // A wait that runs out ends the call: a send after it could still
            // move the last bytes of a stalled peer's window, and the caller's
            // next write would start a fresh time-out.
            if (!SocketOs::waitWritable(handle, left)) return;
        } else {
            failed = true;
            return;
        }
    }
}

FileSendEnd StreamSocket::WriteFile(const InputFile& file, std::int64_t offset, std::uint32_t count) {
    lastWriteCount = 0;
    if (handle == noSocket || failed) return FileSendEnd::connectionFailed;
    auto deadline = deadlineAfter(timeoutSeconds);
    std::uint32_t pieceEnd = fileSendPieceBytes;
    while (lastWriteCount < count) {
        long long n = SocketOs::sendFromFile(handle, file.nativeHandle(), offset + lastWriteCount,
                                             count - lastWriteCount, millisecondsLeft(deadline));
        if (n > 0) {
            lastWriteCount += static_cast<std::uint32_t>(n);
            // One call may carry many pieces: the next piece's time starts now.
            if (lastWriteCount >= pieceEnd) {
                deadline = deadlineAfter(timeoutSeconds);
                pieceEnd = (lastWriteCount / fileSendPieceBytes + 1) * fileSendPieceBytes;
            }
        } else if (n == 0) {
            return FileSendEnd::fileShrank;
        } else if (n == SocketOs::wouldBlock) {
            if (millisecondsLeft(deadline) == 0) return FileSendEnd::timedOut;
        } else if (n == SocketOs::fileFailed) {
            return FileSendEnd::fileReadFailed;
        } else if (n == SocketOs::fileUnsupported) {
            return lastWriteCount == 0 ? FileSendEnd::unsupported : FileSendEnd::fileReadFailed;
        } else {
            failed = true;
            return FileSendEnd::connectionFailed;
        }
    }
    return FileSendEnd::sent;
}

bool StreamSocket::IsOk() const { return handle != noSocket && !failed; }

bool StreamSocket::WaitForRead(int milliseconds) {
    if (handle == noSocket) return true;
    return SocketOs::waitReadableOrEnded(handle, notNegative(milliseconds));
}

void StreamSocket::Destroy() {
    if (handle == noSocket) return;
    // Unread input would make the close reset the connection, and a reset can
    // throw away the last bytes we sent before the peer has read them.
    char sink[65536];
    for (int i = 0; i < 16 && SocketOs::receive(handle, sink, sizeof sink) > 0; ++i) {
    }
    SocketOs::close(handle);
}

bool StreamSocket::GetPeer(IPv4Address& out) const { return handle != noSocket && SocketOs::peerAddress(handle, out); }

bool waitForAny(StreamSocket* const* sockets, std::size_t count, ListeningSocket* listener, int milliseconds) {
    std::vector<std::intptr_t> streams;
    streams.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (sockets[i]->handle == noSocket) return true;  // over already
        streams.push_back(sockets[i]->handle);
    }
    return SocketOs::waitAny(streams.data(), streams.size(), listener ? listener->handle : noSocket,
                             notNegative(milliseconds));
}

// ---------------------------------------------------------------- ListeningSocket

ListeningSocket::ListeningSocket(const IPv4Address& address) : handle(SocketOs::openListener(address)) {}

ListeningSocket::~ListeningSocket() { Destroy(); }

bool ListeningSocket::IsOk() const { return handle != noSocket; }

void ListeningSocket::SetTimeout(int seconds) { timeoutSeconds = seconds < 0 ? 0 : seconds; }

std::unique_ptr<StreamSocket> ListeningSocket::Accept() {
    if (handle == noSocket) return nullptr;
    auto deadline = deadlineAfter(timeoutSeconds);
    for (;;) {
        bool tryAgain = false;
        std::intptr_t accepted = SocketOs::acceptOne(handle, tryAgain);
        if (accepted != noSocket) return std::make_unique<StreamSocket>(accepted);
        if (!tryAgain) return nullptr;
        int left = millisecondsLeft(deadline);
        if (left == 0) return nullptr;
        SocketOs::waitReadable(handle, left);
    }
}

bool ListeningSocket::GetLocal(IPv4Address& out) const {
    return handle != noSocket && SocketOs::localAddress(handle, out);
}

void ListeningSocket::Destroy() { SocketOs::close(handle); }

// ---------------------------------------------------------------- DatagramSocket

DatagramSocket::DatagramSocket(const IPv4Address& address) : handle(SocketOs::openDatagram(address)) {}

DatagramSocket::~DatagramSocket() { Destroy(); }

bool DatagramSocket::IsOk() const { return handle != noSocket; }

int DatagramSocket::RecvFrom(IPv4Address& from, void* buffer, std::size_t size) {
    return handle == noSocket ? -1 : SocketOs::receiveFrom(handle, from, buffer, size);
}

int DatagramSocket::SendTo(const IPv4Address& to, const void* buffer, std::size_t size) {
    return handle == noSocket ? -1 : SocketOs::sendTo(handle, to, buffer, size);
}

bool DatagramSocket::WaitForRead(int milliseconds) {
    return handle != noSocket && SocketOs::waitReadable(handle, notNegative(milliseconds));
}

bool DatagramSocket::GetLocal(IPv4Address& out) const {
    return handle != noSocket && SocketOs::localAddress(handle, out);
}

void DatagramSocket::Destroy() { SocketOs::close(handle); }

std::vector<std::string> hardwareAddresses() {
    std::vector<std::string> texts;
    for (const std::string& raw : SocketOs::rawHardwareAddresses()) {
        // Six bytes, not all zero (loopback and tunnels have none).
        if (raw.size() != 6 || raw.find_first_not_of('\0') == std::string::npos) continue;
        static const char digits[] = "0123456789abcdef";
        std::string text;
        for (unsigned char byte : raw) {
            if (!text.empty()) text += ':';
            text += digits[byte >> 4];
            text += digits[byte & 15];
        }
        texts.push_back(text);
    }
    std::sort(texts.begin(), texts.end());
    texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
    return texts;
}

}  // namespace Varnix::Port
