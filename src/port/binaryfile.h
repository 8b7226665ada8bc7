#pragma once
// Binary files for transfers over the network: a file the node sends or
// receives is never reached through a symbolic link (on Windows, any reparse
// point) as the last part of its path, so that a program that may write into
// the data directory cannot make the node send, overwrite or empty a file
// elsewhere. Paths are in the one form of path.h.
// One object has one user thread; nothing here throws.

#include "port/notcopyable.h"

#include <cstddef>
#include <cstdint>

namespace Varnix::Port {

class BinaryFile : NotCopyable {
public:
    BinaryFile() = default;
    ~BinaryFile();  // closes the file if still open

    // Opens an existing regular file for reading. False when it is missing,
    // a link, a directory or not readable.
    bool openForReading(const char16_t* path);

    // Creates the file anew for writing: whatever the name holds (a file or
    // a link, never what a link points to) is removed first, then the file is
    // created exclusively. False when the name cannot be freed or another
    // program took it meanwhile.
    bool createReplacing(const char16_t* path);

    bool isOpen() const;

    // The size of the open file, or -1.
    std::int64_t size() const;

    // Reads up to `count` bytes; the count read (0 at the end), -1 on failure.
    long long read(void* buffer, std::size_t count);

    // Writes all `count` bytes; false when that failed.
    bool write(const void* buffer, std::size_t count);

    // Closes the file; false when closing failed (a write that failed late).
    // Does nothing, and returns true, when no file is open.
    bool close();

private:
    std::intptr_t handle = -1;
};

}  // namespace Varnix::Port
