// Command lines run through the interpreter as child processes, on real
// processes.
#include "port/path.h"
#include "port/process.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using Varnix::Port::ChildProcess;

namespace {

using ProcessTest = VarnixTest::TempDirectoryTest;

std::unique_ptr<ChildProcess> start(const std::string& command) {
    std::string why;
    return ChildProcess::start(Varnix::Port::pathFromSystem(command.c_str()).c_str(), why);
}

int run(const std::string& command) {
    std::unique_ptr<ChildProcess> child = start(command);
    if (!child) return -1000;
    return child->wait(-1) ? child->exitStatus() : -2000;
}

TEST_F(ProcessTest, CommandLineRunsThroughTheInterpreterToTheEnd) {
    // The same shape as a render job's command line: echo, &&, quoted
    // program, output appended to a log.
    std::string log = (directory / "MaxLog.txt").string();
    std::string cmd = "echo Starting && \"/bin/sh\" \"-c\" \"sleep 0.2; echo rendered\"  >> \"" + log + "\"";
    EXPECT_EQ(run(cmd), 0);
    EXPECT_EQ(run(cmd), 0);
    std::ifstream in(log);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "rendered\nrendered\n");
    EXPECT_EQ(run("exit 3"), 3);
}

TEST_F(ProcessTest, EndingTheTreeEndsEveryDescendantAlsoOneInASessionOfItsOwn) {
    // A daemon's way out of its parent's group and session, with a parent
    // that has already exited, beside a plain grandchild.
    fs::path pid = directory / "pid";
    std::string daemon = "(setsid sh -c 'echo $$ > \"" + pid.string() + "\"; exec sleep 600' &)";
    for (bool interpreterRuns : {true, false}) {
        std::unique_ptr<ChildProcess> child = start(daemon + (interpreterRuns ? "; sleep 600" : ""));
        ASSERT_TRUE(child);
        for (int i = 0; i < 1000 && !(fs::exists(pid) && fs::file_size(pid) > 1); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(pid);
        int daemonPid = 0;
        ASSERT_TRUE(in >> daemonPid);
        EXPECT_EQ(child->wait(200), !interpreterRuns);
        EXPECT_EQ(child->endTree(), interpreterRuns ? 3 : 1);
        EXPECT_TRUE(child->wait(10000));
        child.reset();
        EXPECT_NE(::kill(daemonPid, 0), 0) << "left running: " << daemonPid;
        fs::remove(pid);
    }
}

}  // namespace
