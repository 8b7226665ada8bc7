#pragma once

// Helpers for tests that run the real window in this process or the real
// node program beside it, on the private X desktop of desktop-session.

#include <functional>
#include <string>

#include "support/TempDirectory.h"

#include <gtest/gtest.h>

namespace VarnixTest {

// Starts the GUI library in this process (once; later calls do nothing).
// Aborts when there is no X display. GUI thread.
void startGuiLibrary();

// Runs the GUI event loop (timers, X events, deferred deletes) until `done`
// is true or `timeoutMs` has passed; returns done(). GUI thread.
bool pumpUntil(const std::function<bool()>& done, int timeoutMs);

// Runs the GUI event loop for about `ms` milliseconds.
void pumpFor(int ms);

// Polls `done` every 50 ms without running the event loop.
bool waitUntil(const std::function<bool()>& done, int timeoutMs);

// The whole file, or "" when it cannot be read.
std::string readFile(const std::string& path);

// The log text without the lines that the render service writes on its own
// (configuration, discovery) and the start-up report that follows them, so
// that tests of the log sink see only theirs.
std::string withoutServiceLines(const std::string& logText);

// Runs a shell command line; returns its standard output. `status` gets the
// exit status when given.
std::string shell(const std::string& command, int* status = nullptr);

// The first line of `text`'s output without its line feed.
std::string firstLine(const std::string& text);

// Regex for one log line's stamp: "%d/%02d/%02d-%02d:%02d:%02d".
extern const char* const stampPattern;

// Seconds since the epoch for a stamp as the log writes it (local time), or
// -1 when it does not parse.
long long stampToEpoch(const std::string& stamp);

// A fresh temporary directory per test, which is also the working directory
// while the test runs (the node keeps its files under the working directory).
// A failed test leaves it behind for a look.
class WorkingDirectoryTest : public TempDirectoryTest {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string dir;      // the directory as text: absolute, no trailing slash
    std::string logPath;  // dir + "/drData/DrLog.txt"

private:
    std::string previousDir;
};

}  // namespace VarnixTest
