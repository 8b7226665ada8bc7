// Command lines run through the interpreter as child processes, on real
// processes.
#include "port/process.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using Varnix::Port::ChildProcess;

namespace {

using ProcessTest = VarnixTest::TempDirectoryTest;

int run(const std::string& command) {
    std::string why;
    std::unique_ptr<ChildProcess> child = ChildProcess::start(command.c_str(), why);
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

}  // namespace
