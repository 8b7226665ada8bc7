// Command lines run through the interpreter as child processes, on real
// processes.
#include "port/path.h"
#include "port/process.h"
#include "port/socket.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>

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

    // Forked workers reading the 120 MB they share: the pages count once,
    // not four times. Each says when it has read them all.
    fs::path ready = directory / "workers";
    std::unique_ptr<ChildProcess> workers =
        start("exec python3 -c \"import mmap, os, time\nm = mmap.mmap(-1, 120 << 20)\nm.write(b'x' * (120 << 20))\n"
              "for _ in range(3):\n    os.fork() or (m.find(b'y', 0), open('" +
              ready.string() + "', 'a').write('w'), time.sleep(600))\ntime.sleep(600)\"");
    ASSERT_TRUE(workers);
    for (int i = 0; i < 6000 && !(fs::exists(ready) && fs::file_size(ready) >= 3); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::exists(ready) && fs::file_size(ready) >= 3);
    ChildProcess::Usage shared = workers->usage();
    EXPECT_GE(shared.memoryBytes, 110u << 20);
    EXPECT_LT(shared.memoryBytes, 250u << 20) << shared.memoryBytes;
    workers->endTree();

    EXPECT_EQ(Varnix::Port::exitStatusMeaning(134), "signal 6, SIGABRT");
    EXPECT_EQ(Varnix::Port::exitStatusMeaning(128 + SIGSEGV), "signal 11, SIGSEGV");
    EXPECT_EQ(Varnix::Port::exitStatusMeaning(1), "");
    EXPECT_EQ(Varnix::Port::exitStatusMeaning(0), "");
}

TEST_F(ProcessTest, EarlierJobsOfAFolderAreEndedHoweverItIsSpelledAndNoOtherFoldersJobIs) {
    // As left by a node that died: a marked interpreter still running, a
    // daemon of it in a session of its own, and one that dropped its
    // environment (and so its mark) but works in the folder.
    fs::path data = directory / "drData", other = directory / "otherData", link = directory / "linked";
    fs::create_directories(data);
    fs::create_directories(other);
    fs::create_directory_symlink(data, link);
    std::string daemon = "(setsid sh -c 'echo $$ > \"" + (directory / "daemon").string() + "\"; exec sleep 600' &)";
    std::string inData = "cd \"" + data.string() + "\" && exec env -i sleep 600";
    std::string log = (data / "MaxLog.txt").string();
    std::ofstream(log).put('\n');
    std::unique_ptr<ChildProcess> earlier = startMarked(daemon + "; sleep 600", data);
    std::unique_ptr<ChildProcess> unmarkedInData = startMarked(inData, data);
    std::unique_ptr<ChildProcess> unmarkedWriter = startMarked("exec 3>>\"" + log + "\"; exec env -i sleep 600", data);
    // A reader of the folder's files, such as a log viewer, is no leftover.
    std::unique_ptr<ChildProcess> reader = start("exec 3<\"" + log + "\"; exec sleep 600");
    // Another folder's job is never ended, wherever it works.
    std::unique_ptr<ChildProcess> elsewhere = startMarked("cd \"" + data.string() + "\" && sleep 600", other);
    std::unique_ptr<ChildProcess> unmarked = start("sleep 600");
    ASSERT_TRUE(earlier && unmarkedInData && unmarkedWriter && reader && elsewhere && unmarked);
    EXPECT_NE(earlier->jobId(), elsewhere->jobId());
    EXPECT_TRUE(unmarked->jobId().empty());
    int daemonPid = pidWrittenTo(directory / "daemon");
    ASSERT_GT(daemonPid, 0);

    // The folder as a later run may name it: through a link, with a slash.
    std::string spelled = link.string() + "/";
    EXPECT_EQ(Varnix::Port::endEarlierJobs(Varnix::Port::pathFromSystem(spelled.c_str()).c_str()), 5);
    EXPECT_FALSE(runs(daemonPid)) << "left running: " << daemonPid;
    EXPECT_TRUE(earlier->wait(10000));
    EXPECT_TRUE(unmarkedInData->wait(10000));
    EXPECT_TRUE(unmarkedWriter->wait(10000));
    EXPECT_FALSE(reader->wait(0));
    EXPECT_FALSE(elsewhere->wait(100));
    EXPECT_FALSE(unmarked->wait(0));
    EXPECT_EQ(Varnix::Port::endEarlierJobs(Varnix::Port::pathFromSystem(data.c_str()).c_str()), 0);
}

TEST_F(ProcessTest, OnlyAProcessOfTheTreeHoldsThePeerOfALoopbackConnection) {
    Varnix::Port::ListeningSocket listener(Varnix::Port::IPv4Address::loopback(0));
    listener.SetTimeout(10);
    Varnix::Port::IPv4Address local;
    ASSERT_TRUE(listener.IsOk() && listener.GetLocal(local));
    std::string connect = "exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(local.port) + "; exec sleep 600";
    // Without its mark, in a session of its own: still of the tree.
    std::unique_ptr<ChildProcess> current = start("(setsid env -i bash -c '" + connect + "' &); sleep 600");
    ASSERT_TRUE(current);
    std::unique_ptr<Varnix::Port::StreamSocket> fromTree = listener.Accept();
    ASSERT_TRUE(fromTree);
    // A leftover of a node that died: a process this one is no ancestor of.
    fs::path pid = directory / "orphan";
    ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
    std::string orphan = "(bash -c 'echo $$ > \"" + pid.string() + "\"; " + connect + "' &)";
    ASSERT_EQ(std::system(orphan.c_str()), 0);
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    std::unique_ptr<Varnix::Port::StreamSocket> fromOrphan = listener.Accept();
    ASSERT_TRUE(fromOrphan);
    std::unique_ptr<Varnix::Port::StreamSocket> own =
        Varnix::Port::StreamSocket::connect(Varnix::Port::IPv4Address::loopback(local.port), 10).take();
    ASSERT_TRUE(own);
    std::unique_ptr<Varnix::Port::StreamSocket> fromHere = listener.Accept();
    ASSERT_TRUE(fromHere);

    EXPECT_TRUE(current->holdsPeerOf(*fromTree));
    EXPECT_FALSE(current->holdsPeerOf(*fromOrphan));
    EXPECT_FALSE(current->holdsPeerOf(*fromHere));
    ::kill(pidWrittenTo(pid), SIGKILL);
}

}  // namespace
