#pragma once

#include "port/notcopyable.h"
#include "port/status.h"

#include <cstddef>
#include <cstdint>
#include <string>

// A file that a log is appended to, written so that a failed write leaves
// no part of itself behind and so that the file can be followed when it is
// deleted, replaced or renamed away. Paths are in the one path form of
// path.h. No internal locking: one owner.

namespace Varnix::Port {

class AppendFile : NotCopyable {
public:
    AppendFile() = default;
    // Closes the file when open.
    ~AppendFile();

    // Opens `path` for appending, creating it when missing; never through a
    // symbolic link (on Windows, any reparse point). Other processes may
    // read, write, rename and delete it meanwhile. The system's reason on
    // failure ("it is a symbolic link" for a link). Call it on a closed file.
    Status open(const char16_t* path);
    bool isOpen() const { return handle != -1; }

    // Appends all `size` bytes at the end of the file, each line feed as the
    // platform's line end (CR LF on Windows). On failure whatever part of
    // them reached the file is cut off again, so the file never ends inside
    // a line the caller gave whole; the system's reason then.
    Status append(const char* bytes, std::size_t size);

    // The file's size in bytes; -1 when it cannot be told.
    std::int64_t size() const;

    // True while `path` still names the open file: false once it has been
    // deleted, renamed away or replaced by another file.
    bool isStillAt(const char16_t* path) const;

    // Safe to repeat.
    void close();

private:
    // A descriptor on POSIX, a HANDLE on Windows; -1 when closed.
    std::intptr_t handle = -1;
    // A failed write that could not be cut off left a partial line: the
    // next write ends it first.
    bool torn = false;
};

// Renames `from` to `to`, replacing a file at `to`. False on failure.
bool renameReplacing(const char16_t* from, const char16_t* to);

}  // namespace Varnix::Port
