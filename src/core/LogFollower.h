#pragma once

#include "core/String.h"
#include "port/files.h"
#include "port/notcopyable.h"

#include <cstdint>
#include <string>

namespace Varnix {

// Follows a log file another process writes (the node service's DrLog.txt),
// as a reader that never holds it open between reads, so the writer may
// rename, delete and make it again at any time. Each read takes the whole
// lines added since the last one. A file that does not exist yet is waited
// for; one replaced under its name (a new file after a rotation, or an
// admin's fresh log) is followed from its start, after the rest of the old
// one when the old one went to `rotatedPath`. One thread.
class LogFollower : Port::NotCopyable {
public:
    // The first read starts at most this far from the end of the file, at
    // a line's start: a log of many megabytes is not read whole to show its
    // last lines.
    static constexpr std::int64_t defaultStartBytes = 1 << 20;
    // At most this much is taken by one read; the rest comes with the next.
    static constexpr std::int64_t maxReadBytes = 4 << 20;

    // `path` and the name the writer renames it to when it rotates it (both
    // in path.h's form).
    LogFollower(const String& path, const String& rotatedPath, std::int64_t startBytes = defaultStartBytes);

    // Appends the whole lines written since the last call to `into`, each
    // ending in a line feed (a CR LF in the file becomes a line feed), the
    // bytes read as the platform's narrow text (String::fromNarrow). A line
    // still being written waits for its line feed. False when the file
    // cannot be read at present (not made yet, or being replaced), having
    // taken the rest of the old file if it went to the rotated name.
    bool readNew(String& into);

private:
    // Takes whole lines from `file` at `offset` onwards into `into`.
    void take(Port::InputFile& file, String& into);

    String path;
    String rotatedPath;
    std::int64_t startBytes;
    // The file being followed and how far it has been read; none before the
    // first read that found it.
    bool following = false;
    Port::InputFile::Identity followed;
    std::int64_t offset = 0;
    // The first read began inside a line, which is not shown.
    bool skipPartialLine = false;
    std::string bytes;
};

}  // namespace Varnix
