#include "core/LogFollower.h"

#include <algorithm>

namespace Varnix {

LogFollower::LogFollower(const String& path, const String& rotatedPath, std::int64_t startBytes)
    : path(path), rotatedPath(rotatedPath), startBytes(startBytes) {}

bool LogFollower::readNew(String& into) {
    Port::InputFile file(String(path).wideCString());
    Port::InputFile::Identity now = file.status() == Port::InputFile::Status::opened ? file.identity() : followed;
    if (following && (file.status() != Port::InputFile::Status::opened || now != followed)) {
        // The followed file went: its last lines are under the rotated name
        // when it was rotated; when it was deleted, they are gone with it.
        Port::InputFile old(String(rotatedPath).wideCString());
        if (old.status() == Port::InputFile::Status::opened && old.identity() == followed) take(old, into);
        following = false;
        if (file.status() == Port::InputFile::Status::opened) {
            // A new file under the name: all of it is new.
            following = true;
            followed = now;
            offset = 0;
            skipPartialLine = false;
        }
    } else if (!following && file.status() == Port::InputFile::Status::opened) {
        following = true;
        followed = now;
        offset = std::max<std::int64_t>(0, file.size() - startBytes);
        skipPartialLine = offset > 0;
    }
    if (!following || file.status() != Port::InputFile::Status::opened) return false;
    // Emptied in place (truncated): read again from its start.
    if (file.size() < offset) offset = 0;
    take(file, into);
    return true;
}

void LogFollower::take(Port::InputFile& file, String& into) {
    std::int64_t end = std::min(file.size(), offset + maxReadBytes);
    if (end <= offset) return;
    bytes.resize(std::size_t(end - offset));
    std::size_t got = 0;
    while (got < bytes.size()) {
        long long n = file.readAt(offset + std::int64_t(got), &bytes[got], bytes.size() - got);
        if (n <= 0) break;
        got += std::size_t(n);
    }
    bytes.resize(got);
    std::size_t lineEnd = bytes.rfind('\n');
    if (lineEnd == std::string::npos) {
        // A line longer than a whole read (none the node writes) is shown
        // in pieces rather than holding the log up.
        if (got < std::size_t(maxReadBytes)) return;
        lineEnd = got - 1;
    }
    offset += std::int64_t(lineEnd + 1);
    std::size_t from = 0;
    if (skipPartialLine) {
        from = bytes.find('\n') + 1;
        skipPartialLine = false;
    }
    // Windows writes CR LF; a CR inside a line stays.
    std::string text;
    text.reserve(lineEnd + 1 - from);
    for (std::size_t i = from; i <= lineEnd; ++i)
        if (!(bytes[i] == '\r' && i + 1 <= lineEnd && bytes[i + 1] == '\n')) text += bytes[i];
    if (!text.empty()) into.append(String::fromNarrow(text.data(), std::int32_t(text.size())));
}

}  // namespace Varnix
