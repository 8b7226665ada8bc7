#pragma once
// A LogTarget that keeps what the node's parts ask of the log window, for
// tests of those parts.

#include "core/LogTarget.h"
#include "core/String.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace VarnixTest {

class RecordingWindow : public Varnix::LogTarget {
public:
    // Keeps the line as narrow text (UTF-8 on POSIX). Any thread.
    void log(const char16_t* text) override;
    using Varnix::LogTarget::log;
    // Records the box instead of showing it; returns at once. Any thread.
    void showMessageBox(const Varnix::String& text, const Varnix::String& caption) override;

    // A box the node asked for, as narrow text (UTF-8 on POSIX).
    struct Box {
        std::string text;
        std::string caption;
    };

    // The lines logged so far, oldest first. Any thread.
    std::vector<std::string> snapshot() const;
    // The boxes asked for so far, oldest first. Any thread.
    std::vector<Box> shownBoxes() const;
    // Forgets the lines logged so far. Any thread.
    void clear();
    // How many lines start with `prefix`. Any thread.
    int countStartingWith(const std::string& prefix) const;
    // Waits until `count` lines start with `prefix`; false after `limitMs`.
    bool waitFor(const std::string& prefix, int count = 1, int limitMs = 5000) const;

private:
    mutable std::mutex lock;
    std::vector<std::string> lines;
    std::vector<Box> boxes;
};

}  // namespace VarnixTest
