#pragma once
// How a call into the system ended, in one shape for the whole platform
// layer: ok, or a failure that carries the system's error code and the
// system's text for it, so that a caller can log the reason without asking
// the system again (by then another call may have changed errno or
// GetLastError).
//
// Cheap when ok: no allocation, two words and an empty string. Copyable and
// movable; copies are independent. Any thread may make and read its own; one
// object is shared between threads only under the sharer's lock, as a
// std::string. Nothing here throws but std::bad_alloc.
//
// What stays in other shapes, and why:
// - yes/no questions and failures whose reason no caller reports (a file
//   deleted or not, a socket usable or not) stay bool;
// - counts and sizes stay numbers, -1 when none can be told (read(),
//   fileSize());
// - an outcome that the caller acts on, rather than reports, stays an enum
//   of its own: FolderLock::State (another process holds the folder: the
//   node names it and leaves, no failure of the system), InputFile::Status
//   (a dump that is gone or busy is skipped or tried again),
//   StreamSocket::WriteFile's FileSendEnd (how far a transfer got);
// - the socket operations whose names and returns the node's protocol code
//   is written against (Read, Write, IsOk, Accept...) keep them.

#include <string>
#include <utility>

namespace Varnix::Port {

class Status {
public:
    // Ok.
    Status() = default;

    // A failure with the system's `code` (errno on POSIX; GetLastError or
    // WSAGetLastError on Windows) and the system's text for it, without a
    // final period ("error N" when the system has none).
    static Status fromSystem(int code);

    // The failure of the file call just made on the calling thread (errno;
    // GetLastError). Call it right after the call that failed.
    static Status lastFileError();

    // A failure in this layer's own words ("timed out", "it is a symbolic
    // link"), with the system's code nearest to it. An empty `text` becomes
    // "error N".
    static Status withText(int code, std::string text);

    bool isOk() const { return words.empty(); }
    // The system's code; 0 when ok.
    int code() const { return error; }
    // One short line, no final period; empty when ok.
    const std::string& text() const { return words; }

    // True when the system said that nothing is at the path (ENOENT;
    // ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND on Windows).
    bool isNotFound() const;

private:
    Status(int code, std::string text) : error(code), words(std::move(text)) {}

    int error = 0;
    // Never empty for a failure: it alone tells a failure from ok.
    std::string words;
};

// A value, or the failure that kept it from being made. Built from either;
// the value of a failed result is T's default (null for a pointer). Same
// threads as Status.
template <typename T>
class Result {
public:
    Result(T value) : held(std::move(value)) {}
    // `failure` must not be ok.
    Result(Status failure) : outcome(std::move(failure)) {}

    bool isOk() const { return outcome.isOk(); }
    const Status& status() const { return outcome; }
    T& value() { return held; }
    const T& value() const { return held; }
    // Moves the value out, for a T that only moves (std::unique_ptr).
    T take() { return std::move(held); }

private:
    T held{};
    Status outcome;
};

}  // namespace Varnix::Port
