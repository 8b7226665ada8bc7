#pragma once
// A NodeWindow that keeps the logged lines, for tests of the node's parts.

#include "core/NodeWindow.h"

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RecordingWindow : public Varnix::NodeWindow {
public:
    void log(const char16_t* text) override {
        std::string line;
        for (const char16_t* p = text; *p; ++p) line += *p < 0x80 ? char(*p) : '?';
        std::lock_guard<std::mutex> hold(lock);
        lines.push_back(line);
    }
    using Varnix::NodeWindow::log;
    // Records the box instead of showing it.
    void showMessageBox(const Varnix::String& text, const Varnix::String& caption) override {
        Varnix::String body(text);
        Varnix::String title(caption);
        Box box{body.toNarrow(), title.toNarrow()};
        std::lock_guard<std::mutex> hold(lock);
        boxes.push_back(box);
    }
    void forceClose() override {}

    struct Box {
        std::string text;
        std::string caption;
    };

    std::vector<Box> shownBoxes() {
        std::lock_guard<std::mutex> hold(lock);
        return boxes;
    }

    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> hold(lock);
        return lines;
    }

    // Lines that start with `prefix`.
    int countStartingWith(const std::string& prefix) {
        int n = 0;
        for (const auto& line : snapshot()) n += line.compare(0, prefix.size(), prefix) == 0;
        return n;
    }

    // Waits until `count` lines start with `prefix`; false after `limitMs`.
    bool waitFor(const std::string& prefix, int count = 1, int limitMs = 5000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (countStartingWith(prefix) < count) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

private:
    std::mutex lock;
    std::vector<std::string> lines;
    std::vector<Box> boxes;
};
