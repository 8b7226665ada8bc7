#pragma once
// Putting signals, strings and files on a connection and taking them off.
// Every primitive blocks the calling thread for at most its time-out per read
// or write call, never throws, logs nothing, and does no I/O on a socket that
// is not usable. Status results: 0 success, 1 failure.

#include "core/String.h"
#include "node/Protocol.h"
#include "port/files.h"
#include "port/socket.h"

#include <cstdint>

namespace Varnix {

// What readSignal returns when nothing came; no signal has this value.
constexpr std::uint32_t noSignal = 0xFFFFFFFF;

// True when `socket` is non-null, still has its connection and the peer has
// not closed it (asked of the system now, without a read).
bool isUsable(Port::StreamSocket* socket);

// Writes `value` (4 bytes, little-endian). 0 when all 4 bytes went out on a
// usable socket that is still OK afterwards, else 1.
int writeSignal(Port::StreamSocket* socket, std::uint32_t value, int timeoutSeconds);

// Reads 4 bytes into a value preset to noSignal: nothing, or an unusable
// socket, gives noSignal; a short read replaces only the low-order bytes.
// Time-out 0 returns at once with what has already arrived.
std::uint32_t readSignal(Port::StreamSocket* socket, int timeoutSeconds);

// A signal polled for with time-out 0 that may arrive in pieces: the bytes
// that came stay until all four are in, so a signal split across TCP
// segments is neither lost nor read out of step. One per connection, used on
// that connection's thread.
class PartialSignal {
public:
    // Takes in what has already arrived, without waiting. The signal once its
    // four bytes are in; noSignal until then, and on an unusable socket.
    std::uint32_t poll(Port::StreamSocket* socket);

private:
    unsigned char bytes[4] = {};
    std::uint32_t have = 0;
};

// Writes the narrow form of `text` and one NUL in one call, 5 s time-out.
int writeString(Port::StreamSocket* socket, const String& text);

// A string frame that names a path, written like writeString but in the
// form a program that takes narrow names opens it by (Port::narrowPath): on
// POSIX the bytes the node found it as, UTF-8 or not; on Windows the same
// bytes as writeString.
int writePath(Port::StreamSocket* socket, const String& path);

// Reads a string frame into `text`, one byte per read; each byte is widened
// on its own. 1 when the frame is not complete within
// stringFrameDeadlineSeconds, on a closed or failed connection, or on more
// than maxStringFrameBytes bytes; `text` then holds what came so far.
int readString(Port::StreamSocket* socket, String& text);

// Sends the opened `file` as a file frame: its size, then its first size
// bytes straight from the file (StreamSocket::WriteFile; through a buffer
// where the system cannot), each 65536 bytes going out before a deadline
// `timeoutSeconds` from the moment the ones before them had gone. Never
// unsupported; anything but sent or notStarted leaves the peer inside a
// frame that will never be completed. Precondition: `file` is opened and at
// most 2,147,483,647 bytes long.
Port::FileSendEnd sendFileFrame(Port::StreamSocket* socket, Port::InputFile& file,
                                int timeoutSeconds = fileSendTimeoutSeconds);

// Sends the file at `path` as a file frame (sendFileFrame). 1, having written
// nothing, when the socket is not usable or the file cannot be opened, is not
// a regular file or does not fit a frame; 1 when the frame is cut short.
int sendFile(Port::StreamSocket* socket, const String& path, int timeoutSeconds = fileSendTimeoutSeconds);

// Receives a file frame into the file at `path` (created or emptied), 45 s
// time-out per read. 1, having read nothing, when the file cannot be created;
// 1 on a negative or missing size or a piece cut short, leaving on disk only
// the bytes that came. A file that cannot be created or written sets
// `failure` (when given) to the error and the system's reason.
// With `sizeRead` the frame's size was already taken off the connection by
// readFileFrameSize, which gave that value.
int receiveFile(Port::StreamSocket* socket, const String& path, String* failure = nullptr,
                const std::int32_t* sizeRead = nullptr);

// Reads the size that starts a file frame, 45 s time-out, so that the file
// can be judged before it is received (receiveFile with the value). -1 when
// it did not come whole or is negative.
std::int32_t readFileFrameSize(Port::StreamSocket* socket);

// The size of the file at `path`, or -1 when it cannot be read or does not
// fit a file frame (above 2,147,483,647 bytes). Any thread.
std::int32_t getFileSize(const String& path);

}  // namespace Varnix
