#pragma once

// TCP and UDP sockets over BSD sockets (POSIX) and Winsock 2 (Windows).
//
// The operations carry the names the node's protocol code is written against
// (Accept, SetTimeout, Read, Write, LastReadCount, IsOk, IsClosed, Destroy...).
// Every socket is created close-on-exec and, on Windows, non-inheritable, so a
// process started by the node never holds the node's ports.
// A socket object has one user thread at a time; none of them locks.
// Nothing here logs or throws: failures show in return values and IsOk();
// connect() gives the system's reason (status.h).

#include "port/notcopyable.h"
#include "port/status.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Varnix::Port {

class InputFile;  // files.h

// Bytes of a file send that must go within one time-out (WriteFile): what one
// Write of a file frame's piece carried.
constexpr std::uint32_t fileSendPieceBytes = 65536;

// How sending a file's bytes on a connection ended: StreamSocket::WriteFile,
// and the file frame built on it (LinkPrimitives' sendFileFrame).
enum class FileSendEnd {
    sent,              // all bytes went out
    notStarted,        // nothing written: the socket was not usable (a file frame)
    timedOut,          // a wait ran out with bytes still to send
    connectionFailed,  // reset, broken pipe, or the socket was not open
    fileShrank,        // the file ended before offset + count
    fileReadFailed,    // the file could not be read on
    unsupported        // the system cannot send this file so; nothing was sent (WriteFile)
};

// Starts the platform's socket library (WSAStartup on Windows; nothing else on
// POSIX). Any thread, any number of times; false when sockets cannot be used.
// Sockets also start it on first use, so calling it is only for reporting.
bool initializeSockets();

// The options of a listening socket that a library opens (the HTTP server):
// as the node's own listeners, it binds again while old connections linger,
// but not a port a live listener holds (no port sharing). Call before bind.
// An option refused is left as it is. Any thread.
void setListenerOptions(std::intptr_t socket);

// An IPv4 address and port, both in host byte order.
struct IPv4Address {
    std::uint32_t host = 0;  // 0x7F000001 is 127.0.0.1
    std::uint16_t port = 0;

    static IPv4Address any(std::uint16_t port);        // 0.0.0.0: every interface
    static IPv4Address loopback(std::uint16_t port);   // 127.0.0.1
    static IPv4Address broadcast(std::uint16_t port);  // 255.255.255.255

    // Fills `out` from a dotted address or a host name (first IPv4 answer of
    // the resolver). False, and `out` unchanged, when it cannot. May block on
    // the resolver.
    static bool resolve(const std::string& hostOrDotted, std::uint16_t port, IPv4Address& out);

    std::string dotted() const;  // "a.b.c.d", never empty

    // The resolver's name for the address, else the dotted address. May block
    // on the resolver (a reverse lookup).
    std::string hostname() const;

    bool operator==(const IPv4Address& other) const { return host == other.host && port == other.port; }
};

// A connected TCP socket: accepted by a ListeningSocket or made by connect().
// Reads and writes wait for all requested bytes until the time-out runs out,
// the peer closes or the connection fails.
class StreamSocket : NotCopyable {
public:
    // Takes ownership of a connected native socket. Used by the platform code.
    explicit StreamSocket(std::intptr_t nativeHandle);
    ~StreamSocket();  // closes the connection if still open

    // Connects to `address`, waiting at most `timeoutSeconds`. On failure
    // the system's reason ("timed out" when the time ran out; "cannot create
    // a socket: ..."). Any thread.
    static Result<std::unique_ptr<StreamSocket>> connect(const IPv4Address& address, int timeoutSeconds);

    // Whole seconds that each following Read or Write may take at most.
    // 0: move only what can move at once. Negative values count as 0.
    void SetTimeout(int seconds);
    int GetTimeout() const { return timeoutSeconds; }  // 600 after creation

    // Reads up to `count` bytes into `buffer`, waiting until all have come,
    // the time-out has run out, the peer has closed or the connection failed.
    // The count that came is LastReadCount(). Does nothing once Destroy()ed.
    void Read(void* buffer, std::uint32_t count);

    // Writes `count` bytes, waiting until all are sent, the time-out has run
    // out or the connection failed. The time-out is a deadline: nothing is
    // sent once a wait has run out. The count sent is LastWriteCount().
    void Write(const void* buffer, std::uint32_t count);

    // Sends `count` bytes of the opened `file` from byte `offset` on, straight
    // from the file to the connection (sendfile on Linux, TransmitFile on
    // Windows): they never pass through this process's memory. The time-out
    // works as for one Write per fileSendPieceBytes: each such piece must go
    // within the time-out from the moment the one before it had gone, and
    // nothing is sent once a wait has run out. Bytes past offset + count are
    // never sent, however far the file has grown; a file that ends sooner
    // gives fileEnded once every byte it had has gone. The file's read
    // position afterwards is unspecified. The count sent is LastWriteCount().
    // Never raises SIGPIPE. The socket's user thread; `file` stays the
    // caller's.
    FileSendEnd WriteFile(const InputFile& file, std::int64_t offset, std::uint32_t count);

    std::uint32_t LastReadCount() const { return lastReadCount; }
    std::uint32_t LastWriteCount() const { return lastWriteCount; }

    // True while the socket has its connection: not destroyed and no failure
    // (reset, broken pipe) seen. A peer's orderly close alone keeps it true.
    bool IsOk() const;

    // True when a read would find the end of the connection: the peer has
    // closed (or the connection failed) and no unread byte waits. Asks the
    // system each time (zero-time-out poll), so the close is noticed without a
    // read. True after Destroy().
    bool IsClosed();

    // Waits at most `milliseconds` until a byte can be read or the
    // connection has ended. True when one of them happened.
    bool WaitForRead(int milliseconds);

    // Closes the connection at once; later calls do nothing. The object stays
    // valid (IsOk() false, IsClosed() true).
    void Destroy();

    // The peer's address; false when destroyed or not known.
    bool GetPeer(IPv4Address& out) const;

    // Copies up to `count` bytes that have already arrived into `buffer`
    // without taking them out of the connection; never waits. Returns the
    // count copied (0 when none waits). `ended` tells whether the peer has
    // closed, or the connection failed, behind those bytes (on Windows only
    // once no byte waits any more).
    std::uint32_t Peek(void* buffer, std::uint32_t count, bool& ended);

    // The system's socket, for the platform layer's own waits (dirwatch.h);
    // not for reads or writes.
    std::intptr_t nativeHandle() const { return handle; }

private:
    friend bool waitForAny(StreamSocket* const* sockets, std::size_t count, class ListeningSocket* listener,
                           int milliseconds);
    std::intptr_t handle;
    int timeoutSeconds = 600;
    std::uint32_t lastReadCount = 0;
    std::uint32_t lastWriteCount = 0;
    bool failed = false;       // reset, broken pipe or another hard error seen
    bool endOfStream = false;  // a read found the peer's close
};

// A listening TCP socket.
class ListeningSocket : NotCopyable {
public:
    // Binds to `address` and listens. A port held by another listener makes
    // IsOk() false. Never throws.
    explicit ListeningSocket(const IPv4Address& address);
    ~ListeningSocket();  // Destroy()

    bool IsOk() const;  // bound and listening, not destroyed

    void SetTimeout(int seconds);  // the longest wait of one Accept (600 after creation)
    int GetTimeout() const { return timeoutSeconds; }

    // Waits at most the time-out for a connection. Null when none came or the
    // socket is not usable. The caller owns the result.
    std::unique_ptr<StreamSocket> Accept();

    // The bound address (useful with port 0); false when not bound.
    bool GetLocal(IPv4Address& out) const;

    void Destroy();  // stops listening; later calls do nothing

private:
    friend bool waitForAny(StreamSocket* const* sockets, std::size_t count, ListeningSocket* listener,
                           int milliseconds);
    std::intptr_t handle;
    int timeoutSeconds = 600;
};

// Waits at most `milliseconds` until one of the `count` connections has a
// byte to read or has ended, or `listener` (may be null) has a connection
// waiting to be accepted. True when one of them happened. The caller's
// thread must be the only user of every socket given.
bool waitForAny(StreamSocket* const* sockets, std::size_t count, ListeningSocket* listener, int milliseconds);

// A UDP socket that never waits: receives and sends return at once.
class DatagramSocket : NotCopyable {
public:
    // Binds to `address` (port 0: any free port). A port held by another
    // socket makes IsOk() false. Never throws.
    explicit DatagramSocket(const IPv4Address& address);
    ~DatagramSocket();  // Destroy()

    bool IsOk() const;  // bound, not destroyed

    // Takes one waiting datagram, keeping its first `size` bytes in `buffer`
    // (the rest is dropped). Returns the count kept and fills `from`; -1 when
    // no datagram waits or on failure (buffer and `from` untouched).
    int RecvFrom(IPv4Address& from, void* buffer, std::size_t size);

    // Sends one datagram without waiting. Returns the bytes sent, or -1.
    int SendTo(const IPv4Address& to, const void* buffer, std::size_t size);

    // Waits at most `milliseconds` until a datagram waits. True when one does.
    bool WaitForRead(int milliseconds);

    // Allows sending to broadcast addresses. False when refused.
    bool EnableBroadcast();

    // Asks for a receive queue of `bytes`; the system may grant less (its own
    // limit) and never less than before. False when refused.
    bool SetReceiveBufferSize(int bytes);

    // The bound address; false when not bound.
    bool GetLocal(IPv4Address& out) const;

    void Destroy();  // closes; later calls do nothing

private:
    std::intptr_t handle;
};

// The machine's own name, as the network knows it (the computer name on
// Windows); empty when the system gives none. Any thread; never waits.
std::u16string machineName();

// The hardware (MAC) addresses of the machine's network interfaces, as
// "aa:bb:cc:dd:ee:ff", sorted, each once; loopback and all-zero addresses
// left out. What a Wake-on-LAN packet names. Empty when none can be told.
// Any thread; never waits.
std::vector<std::string> hardwareAddresses();

}  // namespace Varnix::Port
