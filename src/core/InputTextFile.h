#pragma once

#include "core/Buffer.h"
#include "core/String.h"

#include <cstdio>

namespace Varnix {

// Reads a text file line by line. Open from construction to destruction.
// One thread at a time.
class InputTextFile {
public:
    // Opens `path` for reading; throws Exception::fileError(path) when it
    // cannot, std::bad_alloc when out of memory.
    explicit InputTextFile(const String& path);
    ~InputTextFile();
    InputTextFile(const InputTextFile&) = delete;
    InputTextFile& operator=(const InputTextFile&) = delete;

    // Replaces `line` with the next line, without its line feed (nor a
    // carriage return before it). At the end of the file, or on a read
    // error, `line` keeps what was read: a last line without a line feed, or
    // nothing. Lines of any length; characters are never split.
    void readLine(String& line);

    // True once a read has hit the end of the file, or failed: a reader
    // looping until atEnd never spins on a broken file.
    bool atEnd() const;

private:
    std::FILE* file;
    String path;
    Buffer<char> lineBuffer;  // 256 bytes: one chunk of a line
};

}  // namespace Varnix
