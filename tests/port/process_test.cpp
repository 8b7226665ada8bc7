// Command lines run through the interpreter as child processes, on real
// processes.
#include "port/path.h"
#include "port/process.h"
#include "port/socket.h"
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
using Varnix::Port::PeerJob;

namespace {

using ProcessTest = VarnixTest::TempDirectoryTest;

std::unique_ptr<ChildProcess> start(const std::string& command) {
    return ChildProcess::start(Varnix::Port::pathFromSystem(command.c_str()).c_str()).take();
}

std::unique_ptr<ChildProcess> startMarked(const std::string& command, const fs::path& folder) {
    return ChildProcess::start(Varnix::Port::pathFromSystem(command.c_str()).c_str(),
                               Varnix::Port::pathFromSystem(folder.c_str()).c_str())
        .take();
}

// The process id a command wrote into `file`, once it has.
int pidWrittenTo(const fs::path& file) {
    for (int i = 0; i < 1000 && !(fs::exists(file) && fs::file_size(file) > 1); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(file);
    int pid = 0;
    in >> pid;
    return pid;
}

// Whether `pid` still runs: neither gone nor ended and waiting to be reaped
// (as a daemon that came back to this process waits).
bool runs(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return false;
    std::size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
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

TEST_F(ProcessTest, UsageCountsTheCpuAndMemoryOfTheWholeTreeAlsoADaemonsAndKeepsThePeak) {
    // A descendant in a session of its own that holds 50 MB and computes,
    // under an interpreter that only waits.
    std::unique_ptr<ChildProcess> child =
        start("(setsid awk 'BEGIN { s = \"x\"; while (length(s) < 50000000) s = s s; for (;;) n++ }' &); sleep 600");
    ASSERT_TRUE(child);
    ChildProcess::Usage use;
    for (int i = 0; i < 600 && !(use.cpuSeconds >= 0.3 && use.memoryBytes >= (40u << 20)); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        use = child->usage();
    }
    EXPECT_TRUE(use.known);
    EXPECT_GE(use.cpuSeconds, 0.3);
    EXPECT_GE(use.memoryBytes, 40u << 20);
    EXPECT_FALSE(child->limitMemory(1u << 20));  // no cap here: the caller watches
    EXPECT_EQ(child->endTree(), 3);
    ASSERT_TRUE(child->wait(10000));
    ChildProcess::Usage after = child->usage();
    EXPECT_LT(after.memoryBytes, 40u << 20);
    EXPECT_GE(after.peakMemoryBytes, 40u << 20);

    EXPECT_EQ(Varnix::Port::exitStatusMeaning(134), "signal 6, SIGABRT");
    EXPECT_EQ(Varnix::Port::exitStatusMeaning(128 + SIGSEGV), "signal 11, SIGSEGV");
    EXPECT_EQ(Varnix::Port::exitStatusMeaning(1), "");
    EXPECT_EQ(Varnix::Port::exitStatusMeaning(0), "");
}

TEST_F(ProcessTest, EarlierJobsOfAFolderAreEndedAlsoADaemonAndNoOtherFoldersJobIs) {
    // As left by a node that died: a marked interpreter still running, and a
    // daemon of it in a session of its own.
    fs::path data = directory / "drData", other = directory / "otherData";
    std::string daemon = "(setsid sh -c 'echo $$ > \"" + (directory / "daemon").string() + "\"; exec sleep 600' &)";
    std::unique_ptr<ChildProcess> earlier = startMarked(daemon + "; sleep 600", data);
    std::unique_ptr<ChildProcess> elsewhere = startMarked("sleep 600", other);
    std::unique_ptr<ChildProcess> unmarked = start("sleep 600");
    ASSERT_TRUE(earlier && elsewhere && unmarked);
    EXPECT_NE(earlier->jobId(), elsewhere->jobId());
    EXPECT_TRUE(unmarked->jobId().empty());
    int daemonPid = pidWrittenTo(directory / "daemon");
    ASSERT_GT(daemonPid, 0);

    EXPECT_EQ(Varnix::Port::endEarlierJobs(Varnix::Port::pathFromSystem(data.c_str()).c_str()), 3);
    EXPECT_FALSE(runs(daemonPid)) << "left running: " << daemonPid;
    EXPECT_TRUE(earlier->wait(10000));
    EXPECT_FALSE(elsewhere->wait(100));
    EXPECT_FALSE(unmarked->wait(0));
    EXPECT_EQ(Varnix::Port::endEarlierJobs(Varnix::Port::pathFromSystem(data.c_str()).c_str()), 0);
}

TEST_F(ProcessTest, TheProcessAtTheOtherEndOfALoopbackConnectionIsToldByItsJob) {
    Varnix::Port::ListeningSocket listener(Varnix::Port::IPv4Address::loopback(0));
    listener.SetTimeout(10);
    Varnix::Port::IPv4Address local;
    ASSERT_TRUE(listener.IsOk() && listener.GetLocal(local));
    fs::path data = directory / "drData";
    std::u16string folder = Varnix::Port::pathFromSystem(data.c_str());
    std::u16string otherFolder = Varnix::Port::pathFromSystem((directory / "elsewhere").c_str());
    std::string connect = "exec bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(local.port) + "; sleep 600'";
    std::unique_ptr<ChildProcess> earlier = startMarked(connect, data);
    std::unique_ptr<ChildProcess> current = startMarked("sleep 600", data);
    ASSERT_TRUE(earlier && current);
    std::unique_ptr<Varnix::Port::StreamSocket> fromEarlier = listener.Accept();
    ASSERT_TRUE(fromEarlier);
    std::unique_ptr<ChildProcess> unmarked = start(connect);
    std::unique_ptr<Varnix::Port::StreamSocket> fromUnmarked = listener.Accept();
    ASSERT_TRUE(fromUnmarked);
    struct {
        Varnix::Port::StreamSocket* connection;
        const std::u16string& folder;
        std::string job;
        PeerJob expected;
    } cases[] = {
        {fromEarlier.get(), folder, current->jobId(), PeerJob::earlierJob},
        {fromEarlier.get(), folder, earlier->jobId(), PeerJob::currentJob},
        {fromEarlier.get(), otherFolder, current->jobId(), PeerJob::unknown},
        {fromUnmarked.get(), folder, current->jobId(), PeerJob::unknown},
    };
    for (const auto& c : cases)
        EXPECT_EQ(int(Varnix::Port::loopbackPeerJob(*c.connection, c.folder.c_str(), c.job)), int(c.expected))
            << &c - cases;
}

}  // namespace
