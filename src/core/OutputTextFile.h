#pragma once

#include "core/String.h"
#include "port/textfile.h"

#include <cstdint>
#include <cstdio>

namespace Varnix {

// The line-end marker: writing it writes `count` line feeds (CR LF on disk
// on Windows, LF elsewhere).
struct LineEnd {
    std::int32_t count;
};

// Write `<< lineEnd` to end a line.
constexpr LineEnd lineEnd{1};

// Writes a text file. Closed or open; write results are not reported.
// No internal locking: the owner guards it when several threads write.
class OutputTextFile {
public:
    // Closed; makes the "C" locale.
    OutputTextFile();
    // Creates or truncates `path` for writing; throws Exception::fileError(path)
    // when it cannot. None of the opens writes through a symbolic link: a
    // link at `path` fails it, and the error says so.
    explicit OutputTextFile(const String& path);
    ~OutputTextFile();
    OutputTextFile(const OutputTextFile&) = delete;
    OutputTextFile& operator=(const OutputTextFile&) = delete;

    // Creates `path`, which must not exist yet (a link there counts as
    // existing, even one that leads nowhere); throws
    // Exception::fileError(path) when it cannot. Call it on a closed file.
    void createNew(const String& path);

    // "%d" in the "C" locale: ASCII digits, '-' for negatives, no grouping.
    OutputTextFile& operator<<(int value);
    OutputTextFile& operator<<(const char* narrowText);
    // Writes the narrow form of `text` (the String's narrow cache is refreshed).
    OutputTextFile& operator<<(String& text);
    OutputTextFile& operator<<(const String& text);
    OutputTextFile& operator<<(const LineEnd& marker);

    void flush();
    // Flushes and closes when open; always empties `path`. Safe to repeat.
    void close();

    bool isOpen() const noexcept { return file != nullptr; }

private:
    std::FILE* file;
    String path;
    Port::TextLocale locale;
};

}  // namespace Varnix
