#pragma once
// Binary files for transfers over the network: a file the node sends or
// receives is never reached through a symbolic link (on Windows, any reparse
// point) as the last part of its path, so that a program that may write into
// the data directory cannot make the node send, overwrite or empty a file
// elsewhere. Paths are in the one form of path.h.
// One object has one user thread; nothing here throws. Failures carry the
// system's reason (status.h).

#include "port/notcopyable.h"
#include "port/status.h"

#include <cstddef>
#include <cstdint>

namespace Varnix::Port {

class BinaryFile : NotCopyable {
public:
    BinaryFile() = default;
    ~BinaryFile();  // closes the file if still open

    // Opens an existing regular file for reading. A failure when it is
    // missing, a link, a directory or not readable.
    Status openForReading(const char16_t* path);

    // Creates the file anew for writing: whatever the name holds (a file or
    // a link, never what a link points to) is removed first, then the file is
    // created exclusively. A failure when the name cannot be freed or another
    // program took it meanwhile.
    Status createReplacing(const char16_t* path);

    bool isOpen() const;

    // The size of the open file, or -1.
    std::int64_t size() const;

    // Reads up to `count` bytes; the count read (0 at the end), -1 on failure.
    long long read(void* buffer, std::size_t count);

    // Writes all `count` bytes; the system's reason when that failed (a full
    // disk: writefault.h).
    Status write(const void* buffer, std::size_t count);

    // Closes the file; a failure when closing failed (a write that failed
    // late). Does nothing, and is ok, when no file is open.
    Status close();

private:
    std::intptr_t handle = -1;
};

}  // namespace Varnix::Port
