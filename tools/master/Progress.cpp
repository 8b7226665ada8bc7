#include "Progress.h"

#include "StreamIo.h"

namespace Varnix::Peer {

Progress::Progress(std::FILE* stream, bool terminal, std::string label, uint64_t total)
    : stream(stream), terminal(terminal), label(std::move(label)), total(total) {}

void Progress::update(uint64_t done) {
    if (!terminal) return;
    const auto now = std::chrono::steady_clock::now();
    if (shown && done < total && now - lastDraw < std::chrono::milliseconds(100)) return;
    lastDraw = now;
    draw(done);
}

void Progress::draw(uint64_t done) {
    const unsigned percent = total == 0 ? 100 : static_cast<unsigned>(done * 100 / total);
    const std::string text = "  " + label + "  " + std::to_string(percent) + "%  " + groupedCount(done) + " of " +
                             groupedCount(total) + " bytes";
    // Plain padding rather than terminal escapes, which not every console understands.
    const std::string pad(width > text.size() ? width - text.size() : 0, ' ');
    std::fprintf(stream, "\r%s%s", text.c_str(), pad.c_str());
    std::fflush(stream);
    width = text.size();
    shown = true;
}

void Progress::clear() {
    if (!shown) return;
    std::fprintf(stream, "\r%s\r", std::string(width, ' ').c_str());
    std::fflush(stream);
    shown = false;
}

}  // namespace Varnix::Peer
