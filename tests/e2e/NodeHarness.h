#pragma once
// Runs the real varnix-node in a fresh working directory with its own
// registry file, fake 3ds Max installations made of the stand-in, and the
// drmaster tool; tears everything down after each test. Linux only (the
// end-to-end tests drive the Linux build through X and process groups).

#include "support/Process.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;

using VarnixTest::ProcessResult;
using VarnixTest::runProgram;

std::string readFile(const fs::path& path);
void writeFile(const fs::path& path, const std::string& content);
// The contents of every file in `dir`, in the order of their names.
std::vector<std::string> contentsIn(const fs::path& dir);

// The texts of DrLog.txt, one entry per logged line (time stamp removed; a
// line that holds line feeds stays one entry).
std::vector<std::string> parseLog(const std::string& logText);

class NodeTest : public VarnixTest::TempDirectoryTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A copy of the stand-in in its own install directory, with the given
    // behaviour file beside it. Returns the directory, ending in a slash.
    std::string installStub(const std::string& name, const std::string& behaviour = "");
    // What the stand-in installed as `name` recorded about its last run.
    std::string stubRecord(const std::string& name);

    void writeConfig(const std::string& text);
    // Registry file lines under the header; the node reads it at start.
    void writeRegistry(const std::string& body);
    void setDevelopmentMode(bool on);

    // Starts the node; unless told otherwise, waits until its log shows it
    // running (a message box at start-up holds that back).
    void startNode(bool waitUntilRunning = true);
    bool nodeRunning();
    // Polls DrLog.txt (written every 500 ms) until a line contains `text`.
    bool waitForLog(const std::string& text, double seconds = 10);
    // Like waitForLog, but for the `count`th line containing `text` (the
    // lines that a repeat count, "last message repeated N times: ...", or a
    // count of bogus connections, "Closed N more bogus master connections",
    // stands for included).
    bool waitForLogCount(const std::string& text, int count, double seconds = 10);
    std::vector<std::string> logLines();
    // Asks the node's window to close, as its close box does; true when the
    // process ended within `seconds`. `elapsed` gets the time it took.
    bool closeNodeWindow(double seconds, double* elapsed = nullptr);
    // Sends `signal` to the node alone (its renderers keep running); true
    // when the node then ended with status 0 within `seconds`.
    bool signalNode(int signal, double seconds);
    // SIGKILL to the node alone, as a crash or the out-of-memory killer ends
    // it, and reaps it; its renderers run on (TearDown still ends them).
    void killNodeAlone();
    // Waits for a message box of the node titled `title`; its window id, or
    // "" when none showed within `seconds`.
    std::string waitForMessageBox(const std::string& title, double seconds = 10);
    // Waits for a message box of the node titled `title` and presses Return.
    bool dismissMessageBox(const std::string& title, double seconds = 10);

    ProcessResult master(const std::vector<std::string>& args, double timeoutSeconds = 60, bool apart = false);
    // A drmaster render of `scene` for "version frame" into out/, with extra options.
    ProcessResult render(const std::string& version, const std::string& frame,
                         const std::vector<std::string>& extra = {}, double timeoutSeconds = 60);
    fs::path makeScene(const std::string& name, std::size_t size);
    // Starts drmaster with `args` without waiting; standard output and error
    // go to `output`. finishMaster waits at most `seconds` for its exit status
    // (-1 when it had to be killed).
    pid_t startMaster(const std::vector<std::string>& args, const fs::path& output);
    int finishMaster(pid_t pid, double seconds);

    // Makes every stand-in of this test, installed before or after, keep a
    // copy of each dump it writes before the node can see it, so that the
    // test can compare what the master received with what was written.
    void watchDumps();
    // The kept dumps' contents in the order they were written; with a
    // `frame`, only those of renderers that rendered that frame.
    std::vector<std::string> writtenDumps(int frame = -1);

    // Set before startNode: the program's options (--no-window), and
    // variables added to its environment.
    std::vector<std::string> nodeOptions;
    std::map<std::string, std::string> nodeEnvironment;
    std::string workName = "work";  // set before SetUp to start the node in another folder
    std::string display;            // set before startNode: the node's X display (empty: the test's)
    fs::path root;                  // everything of this test
    fs::path work;                  // the node's working directory, root / workName
    fs::path data;                  // work/drData
    fs::path out;                   // where drmaster saves dumps
    fs::path scene;                 // the default scene
    pid_t nodePid = -1;             // -1 once it has been waited for
    pid_t nodeGroup = -1;           // the node's process group, renderers included

private:
    std::string keepDumpsLine() const;

    bool keepingDumps = false;
    std::vector<pid_t> killedGroups;  // of nodes killed alone, with what they left
};

}  // namespace e2e
