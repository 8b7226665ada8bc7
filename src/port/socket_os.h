#pragma once

// The few calls each platform's socket file provides (socket_posix.cpp,
// socket_win32.cpp); socket_common.cpp writes the rest of socket.h once over
// them. Private to src/port. A handle is the system's socket as an integer;
// noSocket is none. Every call works on sockets that are non-blocking, never
// waits longer than it is told, never throws, and may be made from any thread
// that is the only user of the handles it gives. Each way to move bytes is
// one primitive here (receive, send, sendFromFile) and one loop against the
// deadline in socket_common.cpp (Read, Write, WriteFile).

#include "port/socket.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Varnix::Port::SocketOs {

constexpr std::intptr_t noSocket = -1;

// The raw hardware addresses of the machine's interfaces, in any order,
// duplicates and loopback included; hardwareAddresses() tidies them.
std::vector<std::string> rawHardwareAddresses();

// Results of receive() and send() that are not a byte count.
constexpr long long wouldBlock = -1;  // nothing can move now; wait and retry
constexpr long long failed = -2;      // the connection is broken (reset, broken pipe)

// The host of a dotted address, else the resolver's first IPv4 answer for a
// name. False when neither. May block on the resolver.
bool lookUp(const std::string& hostOrDotted, std::uint32_t& host);

// The resolver's name for `host`; empty when it has none. May block.
std::string nameOf(std::uint32_t host);

// A new TCP socket in `created`, non-blocking and not inherited by child
// processes; on failure noSocket there and the reason ("cannot create a
// socket: ...").
Status newStream(std::intptr_t& created);

// Sets up a connected socket for the node's use (no delay for small writes,
// non-blocking, not inherited). Called on every socket a StreamSocket takes.
void prepareStream(std::intptr_t handle);

enum class ConnectStart { connected, pending };
// Starts connecting `handle` to `address`; the system's reason when it
// failed at once.
Result<ConnectStart> startConnect(std::intptr_t handle, const IPv4Address& address);
// Waits at most `milliseconds` for a pending connect to finish: "timed out"
// or the system's reason when it did not succeed.
Status finishConnect(std::intptr_t handle, int milliseconds);

// One receive or send without waiting: the count moved (0 from receive: the
// peer has closed), else wouldBlock or failed. A send never raises SIGPIPE.
long long receive(std::intptr_t handle, void* buffer, std::size_t count);
long long send(std::intptr_t handle, const void* buffer, std::size_t count);

// Results of sendFromFile() that are not a byte count, beside wouldBlock
// (nothing moved within the wait) and failed (the connection is broken).
constexpr long long fileFailed = -3;       // the file could not be read
constexpr long long fileUnsupported = -4;  // the system cannot send this file so; nothing moved

// Sends up to `count` bytes of the open file `file` (InputFile's handle)
// from `offset`, from the file to the socket without a copy through this
// process, waiting at most `milliseconds` for room; nothing is sent after a
// wait has run out. The count moved; 0: `offset` is at or past the file's
// end. Never raises SIGPIPE.
long long sendFromFile(std::intptr_t handle, std::intptr_t file, std::int64_t offset, std::size_t count,
                       int milliseconds);

// Wait at most `milliseconds` (>= 0). True when the socket became readable
// (a byte, a connection to accept or a datagram waits) or writable; an error
// on the socket ends the wait for writing too. False on time-out.
bool waitReadable(std::intptr_t handle, int milliseconds);
bool waitWritable(std::intptr_t handle, int milliseconds);
// As waitReadable, and also true when the peer has closed its side.
bool waitReadableOrEnded(std::intptr_t handle, int milliseconds);

// Waits at most `milliseconds` (>= 0) until one of the `count` connected
// sockets has a byte or has ended, or `listener` (may be noSocket) has a
// connection waiting. True when one of them happened or the wait failed.
bool waitAny(const std::intptr_t* streams, std::size_t count, std::intptr_t listener, int milliseconds);

// Closes `handle` and sets it to noSocket; nothing when it is noSocket.
void close(std::intptr_t& handle);

// A bound, listening TCP socket, or a bound UDP socket; noSocket when the
// address cannot be had.
std::intptr_t openListener(const IPv4Address& address);
std::intptr_t openDatagram(const IPv4Address& address);

// Takes one waiting connection: its handle, or noSocket with `tryAgain` set
// when none waits yet (or one went away before it was taken).
std::intptr_t acceptOne(std::intptr_t listener, bool& tryAgain);

// The socket's own and its peer's address. False when the system cannot say.
bool localAddress(std::intptr_t handle, IPv4Address& out);
bool peerAddress(std::intptr_t handle, IPv4Address& out);

// One datagram without waiting, as DatagramSocket::RecvFrom and SendTo say.
int receiveFrom(std::intptr_t handle, IPv4Address& from, void* buffer, std::size_t size);
int sendTo(std::intptr_t handle, const IPv4Address& to, const void* buffer, std::size_t size);

}  // namespace Varnix::Port::SocketOs
