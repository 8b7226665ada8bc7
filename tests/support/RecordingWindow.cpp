#include "support/RecordingWindow.h"

#include "core/String.h"

#include <chrono>
#include <thread>

namespace VarnixTest {

void RecordingWindow::log(const char16_t* text) {
    std::string line = Varnix::String(text).toNarrow();
    std::lock_guard<std::mutex> hold(lock);
    lines.push_back(std::move(line));
}

void RecordingWindow::showMessageBox(const Varnix::String& text, const Varnix::String& caption) {
    Varnix::String body(text);
    Varnix::String title(caption);
    Box box{body.toNarrow(), title.toNarrow()};
    std::lock_guard<std::mutex> hold(lock);
    boxes.push_back(std::move(box));
}

std::vector<std::string> RecordingWindow::snapshot() const {
    std::lock_guard<std::mutex> hold(lock);
    return lines;
}

std::vector<RecordingWindow::Box> RecordingWindow::shownBoxes() const {
    std::lock_guard<std::mutex> hold(lock);
    return boxes;
}

void RecordingWindow::clear() {
    std::lock_guard<std::mutex> hold(lock);
    lines.clear();
}

int RecordingWindow::countStartingWith(const std::string& prefix) const {
    int n = 0;
    for (const auto& line : snapshot()) n += line.compare(0, prefix.size(), prefix) == 0;
    return n;
}

bool RecordingWindow::waitFor(const std::string& prefix, int count, int limitMs) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (countStartingWith(prefix) < count) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace VarnixTest
