#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace Varnix::Peer {

// One self-rewriting progress line for a transfer, shown only on a terminal:
// "  scene.max  42%  1,234,567 of 2,939,445 bytes". Redrawn at most ten
// times a second. Off a terminal it prints nothing. One thread.
class Progress {
public:
    Progress(std::FILE* stream, bool terminal, std::string label, uint64_t total);

    void update(uint64_t done);

    // Removes the line, so that the caller's summary line takes its place.
    void clear();

private:
    void draw(uint64_t done);

    std::FILE* stream;
    bool terminal;
    std::string label;
    uint64_t total;
    bool shown = false;
    size_t width = 0;  // of the line last drawn
    std::chrono::steady_clock::time_point lastDraw;
};

}  // namespace Varnix::Peer
