// The node's master port and its life as a program: refused versions,
// connections that are no master, one job at a time, a taken port, closing.
#include "NodeHarness.h"
#include "RawMaster.h"

#include "port/socket.h"
#include "support/LogLines.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

namespace e2e {
namespace {

using VarnixTest::countPrefix;

// The texts that follow the first line starting with `first`.
std::vector<std::string> after(const std::vector<std::string>& log, const std::string& first) {
    auto it = std::find_if(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(first, 0) == 0; });
    return it == log.end() ? std::vector<std::string>{} : std::vector<std::string>(it, log.end());
}

using MasterPort = NodeTest;

TEST_F(MasterPort, UnsupportedVersionsAreRefusedWithoutReadingTheScene) {
    std::string max = installStub("max");
    writeConfig("2014 " + max + "\n2016 " + max + "\n");
    startNode();

    // drmaster refuses these releases itself, so a raw master sends them.
    for (const char* parameters : {"2010 1", "2017\t1"}) {
        RawMaster r;
        ASSERT_TRUE(r.connect());
        ASSERT_TRUE(r.greet());
        ASSERT_TRUE(r.sendParameters(parameters));
        r.sendScene(1000, 1000);  // the node may have closed already
        EXPECT_TRUE(r.waitForClose(10)) << parameters;
    }
    // A parameter text without a leading number reads as version 0.
    RawMaster m;
    ASSERT_TRUE(m.connect());
    ASSERT_TRUE(m.greet());
    ASSERT_TRUE(m.sendParameters("latest 3"));
    EXPECT_TRUE(m.waitForClose(10));
    ASSERT_TRUE(waitForLogCount("Ready for new connection", 3));

    std::vector<std::string> log = after(logLines(), "Accepted remote connection from ");
    std::vector<std::string> jobLines;
    for (const auto& l : log)
        if (l.rfind("Accepted remote connection from ", 0) != 0) jobLines.push_back(l);
    EXPECT_EQ(jobLines,
              (std::vector<std::string>{
                  "Parameters received: 2010 1", "Unsupported 3dsmax version: 2010", "Ready for new connection",
                  "Parameters received: 2017\t1", "Unsupported 3dsmax version: 2017", "Ready for new connection",
                  "Parameters received: latest 3", "Unsupported 3dsmax version: 0", "Ready for new connection"}));
    EXPECT_FALSE(fs::exists(data / "received_scene.max"));
    EXPECT_TRUE(stubRecord("max").empty());
}

// Distinct parameter strings at the size limit, each refused: repeat
// suppression cannot merge them, so past a burst they are counted, and the
// count says how many were held back. A refusal held back writes no line at
// all, neither its connection's nor "Ready for new connection".
TEST_F(MasterPort, FloodOfDistinctRefusedParametersIsCountedAfterABurstNothingLost) {
    startNode();
    constexpr int jobs = 100;
    for (int i = 0; i < jobs; ++i) {
        RawMaster r;
        ASSERT_TRUE(r.connect());
        ASSERT_TRUE(r.greet());
        std::string text = "2010 1 " + std::to_string(i) + " ";
        text.resize(256, char('a' + i % 26));
        ASSERT_TRUE(r.sendParameters(text));
        EXPECT_TRUE(r.waitForClose(10)) << i;
    }
    // The count comes once the flood pauses.
    std::vector<std::string> log;
    int written = 0;
    long long counted = 0;
    for (int wait = 0; wait < 300 && written + counted < jobs; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        log = logLines();
        written = countPrefix(log, "Parameters received: 2010 1 ");
        counted = 0;
        for (const auto& l : log)
            if (l.rfind("Refused ", 0) == 0 && l.find(" more jobs for 3dsmax versions not configured here") != l.npos)
                counted += std::stoll(l.substr(8));
    }
    EXPECT_GE(written, 20);  // the burst is written as ever
    EXPECT_LT(written, jobs);
    EXPECT_EQ(written + counted, jobs);
    // The refusal's lines go with its parameter line: all or none.
    EXPECT_EQ(countPrefix(log, "Unsupported 3dsmax version: 2010"), written);
    EXPECT_EQ(countPrefix(log, "Accepted remote connection from "), written);
    EXPECT_EQ(countPrefix(log, "Ready for new connection"), written);
}

TEST_F(MasterPort, ParametersAreLoggedOnOneLineWithControlCharactersShownEscaped) {
    startNode();
    RawMaster m;
    ASSERT_TRUE(m.connect());
    ASSERT_TRUE(m.greet());
    // A line feed and a forged stamp, a terminal escape sequence, a backslash.
    ASSERT_TRUE(m.sendParameters("2010\n2026/12/08-09:00:00   Forged line\x1b[2J\\"));
    EXPECT_TRUE(m.waitForClose(10));
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    std::vector<std::string> log = logLines();
    EXPECT_EQ(countPrefix(log, "Forged line"), 0);
    std::vector<std::string> job = after(log, "Parameters received: ");
    ASSERT_FALSE(job.empty());
    EXPECT_EQ(job.front(), "Parameters received: 2010\\x0A2026/12/08-09:00:00   Forged line\\x1B[2J\\\\");
    EXPECT_EQ(readFile(data / "DrLog.txt").find('\x1b'), std::string::npos);
}

TEST_F(MasterPort, StopRequestDuringAJobIsLoggedOnceWhileTheNodeWaits) {
    writeConfig("2014 " + installStub("max", "dumps = 1\nhang_until_end = yes\n") + "\n");
    startNode();
    RawMaster m;
    ASSERT_TRUE(m.connect());
    ASSERT_TRUE(m.greet());
    ASSERT_TRUE(m.sendParameters("2014 1"));
    ASSERT_TRUE(m.sendScene(1000, 1000));
    ASSERT_TRUE(waitForLog("3dsmax is online", 30));
    kill(nodePid, SIGTERM);
    // The line is in the log while the node still waits for the job.
    ASSERT_TRUE(waitForLog("Waiting for the running job to end", 10));
    EXPECT_TRUE(nodeRunning());
    ASSERT_TRUE(m.sendEnd());
    ASSERT_TRUE(waitForLog("Ready for new connection", 30));
    for (int i = 0; i < 200 && nodeRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(nodeRunning());
    EXPECT_EQ(countPrefix(logLines(), "Waiting for the running job to end"), 1);
}

TEST_F(MasterPort, SilentClientsQueuedAheadDoNotKeepAnHonestMasterOut) {
    writeConfig("2014 " + installStub("max", "dumps = 1\ndump_interval_ms = 100\n") + "\n");
    startNode();
    // 300 connections that never say a word, each allowed 5 s to greet: one
    // after the other they would hold the master port for 25 minutes.
    std::vector<std::unique_ptr<RawMaster>> silent;
    for (int i = 0; i < 300; ++i) {
        silent.push_back(std::make_unique<RawMaster>());
        ASSERT_TRUE(silent.back()->connect()) << i;
    }
    ProcessResult job = render("2014", "3", {"--wait", "60", "--end-after-dumps", "1"}, 120);
    EXPECT_EQ(job.exitCode, 0) << job.output;
    silent.clear();
    ASSERT_TRUE(waitForLogCount("Got bogus master connection", 300, 60));
}

TEST_F(MasterPort, TwoMastersAreServedOneAfterTheOther) {
    std::string max = installStub("max", "dumps = 2\ndump_interval_ms = 300\n");
    writeConfig("2013 " + max + "\n");
    startNode();

    fs::path out2 = root / "out2";
    ProcessResult second;
    std::thread other([&] {
        second = master({"render", "--node", "127.0.0.1", "--version", "2013", "--frame", "2", "--scene",
                         scene.string(), "--out", out2.string(), "--end-after-dumps", "2", "--wait", "0"},
                        300);
    });
    ProcessResult first = render("2013", "1", {"--end-after-dumps", "2", "--wait", "0"}, 300);
    other.join();
    EXPECT_EQ(first.exitCode, 0) << first.output;
    EXPECT_EQ(second.exitCode, 0) << second.output;
    ASSERT_TRUE(waitForLogCount("Ready for new connection", 2, 60));

    // No line of one job between the lines of the other.
    std::vector<std::string> sequence;
    for (const auto& l : logLines()) {
        if (l.rfind("Accepted remote connection from ", 0) == 0) sequence.push_back("accepted");
        if (l.rfind("Parameters received: ", 0) == 0) sequence.push_back("parameters");
        if (l.rfind("Closed loopback connection", 0) == 0) sequence.push_back("closed");
        if (l == "Ready for new connection") sequence.push_back("ready");
    }
    EXPECT_EQ(sequence, (std::vector<std::string>{"accepted", "parameters", "closed", "ready", "accepted", "parameters",
                                                  "closed", "ready"}));
    std::size_t dumps = 0;
    for (const auto& dir : {out, out2})
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++dumps;
    EXPECT_EQ(dumps, 4u);
}

// A master that takes its time to answer the greeting (within its 5 s), or
// one across a link of 500 ms round trip, keeps its turn. A master greeted
// meanwhile is kept through that job and served after it, whether it had
// already sent its job or its answer was still on its way (a delayed link
// as the node sees it: each answer comes a round trip after its greeting).
// One that gave up waiting while the node was busy is no bogus connection.
TEST_F(MasterPort, MasterSlowToAnswerKeepsItsTurnAndOneGreetedMeanwhileIsServedAfterIt) {
    writeConfig("2014 " + installStub("max", "dumps = 1\ndump_interval_ms = 100\nhang_until_end = yes\n") + "\n");
    startNode();
    struct Case {
        int secondConnectsMs, firstAnswersMs, secondAnswersMs;  // from the first's connect; from its greeting
    } cases[] = {{250, 400, 0}, {150, 500, 500}};
    std::vector<std::string> expected;
    int jobs = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firstAnswersMs);
        const auto start = std::chrono::steady_clock::now();
        const auto at = [&](int ms) { std::this_thread::sleep_until(start + std::chrono::milliseconds(ms)); };
        RawMaster slow, prompt;
        ASSERT_TRUE(slow.connect());
        at(c.secondConnectsMs);
        ASSERT_TRUE(prompt.connect());
        if (c.secondAnswersMs == 0) ASSERT_TRUE(prompt.greet() && prompt.sendParameters("2014 2"));
        at(c.firstAnswersMs);
        ASSERT_TRUE(slow.greet() && slow.sendParameters("2014 1") && slow.sendScene(3000, 3000));
        // Greeted once the first had been silent for 0.2 s.
        at(std::max(c.secondConnectsMs, 200) + c.secondAnswersMs);
        if (c.secondAnswersMs > 0) ASSERT_TRUE(prompt.greet() && prompt.sendParameters("2014 2"));
        // The scene waits in the connection until the slow master's job is over.
        ASSERT_TRUE(prompt.sendScene(3000, 3000));
        std::string dump;
        EXPECT_TRUE(slow.readDump(dump, 30));
        EXPECT_FALSE(prompt.waitForClose(0.5));
        ASSERT_TRUE(slow.sendEnd());
        EXPECT_TRUE(slow.waitForClose(30));
        EXPECT_TRUE(prompt.readDump(dump, 30));
        ASSERT_TRUE(prompt.sendEnd());
        EXPECT_TRUE(prompt.waitForClose(30));
        jobs += 2;
        ASSERT_TRUE(waitForLogCount("Ready for new connection", jobs, 60));
        for (const char* parameters : {"2014 1", "2014 2"})
            expected.insert(expected.end(), {"accepted", std::string("Parameters received: ") + parameters, "ready"});
    }
    {
        RawMaster first;
        ASSERT_TRUE(first.connect() && first.greet() && first.sendParameters("2014 1") && first.sendScene(3000, 3000));
        ASSERT_TRUE(waitForLog("Running command:", 30));
        RawMaster gaveUp;
        ASSERT_TRUE(gaveUp.connect());
        gaveUp.close();
        std::string dump;
        EXPECT_TRUE(first.readDump(dump, 30));
        ASSERT_TRUE(first.sendEnd());
        EXPECT_TRUE(first.waitForClose(30));
    }
    ASSERT_TRUE(waitForLogCount("Ready for new connection", jobs + 2, 60));
    expected.insert(expected.end(),
                    {"accepted", "Parameters received: 2014 1", "ready",
                     "A connection closed before the node could greet it: its peer gave up waiting", "ready"});

    std::vector<std::string> sequence;
    for (const auto& l : logLines()) {
        if (l.rfind("Accepted remote connection from ", 0) == 0) sequence.push_back("accepted");
        if (l.rfind("Parameters received: ", 0) == 0 || l.rfind("Closed at once", 0) == 0 ||
            l.rfind("A connection closed before ", 0) == 0 || l == "Got bogus master connection")
            sequence.push_back(l);
        if (l == "Ready for new connection") sequence.push_back("ready");
    }
    EXPECT_EQ(sequence, expected);
}

// drmaster greeted while the master before it was still silent: its scene,
// larger than the connection can hold, waits unread through that master's
// job, past drmaster's 45 s for a piece, and drmaster waits with it while
// the node's status shows another master's job; then it is served.
TEST_F(MasterPort, DrmasterHeldBehindAJobWaitsWithItsSceneAndIsServed) {
    writeConfig("2014 " + installStub("max", "dumps = 1\ndump_interval_ms = 100\nhang_until_end = yes\n") + "\n");
    startNode();
    RawMaster slow;
    ASSERT_TRUE(slow.connect());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    fs::path big = makeScene("big.max", 32 << 20);
    pid_t m = startMaster({"render", "--node", "127.0.0.1", "--version", "2014", "--frame", "2", "--scene",
                           big.string(), "--out", out.string(), "--end-after-dumps", "1"},
                          root / "master.out");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_TRUE(slow.greet() && slow.sendParameters("2014 1") && slow.sendScene(3000, 3000));
    std::string dump;
    ASSERT_TRUE(slow.readDump(dump, 30));
    std::this_thread::sleep_for(std::chrono::seconds(50));
    ASSERT_TRUE(slow.sendEnd());
    EXPECT_TRUE(slow.waitForClose(30));
    EXPECT_EQ(finishMaster(m, 120), 0) << readFile(root / "master.out");
    EXPECT_NE(readFile(root / "master.out").find("busy with another master's job; the scene waits"), std::string::npos)
        << readFile(root / "master.out");
}

TEST_F(MasterPort, TakenPortIsReportedAndDiscoveryStillAnswers) {
    Varnix::Port::ListeningSocket squatter(Varnix::Port::IPv4Address::any(19668));
    ASSERT_TRUE(squatter.IsOk());
    startNode(false);
    ASSERT_TRUE(dismissMessageBox("Message", 15)) << readFile(root / "node.out");
    ASSERT_TRUE(waitForLog("DR server started"));

    ProcessResult found = master({"discover", "--numeric", "127.0.0.1"}, 15);
    EXPECT_EQ(found.exitCode, 0) << found.output;
    // Closed at once: the line of that ping is still on its way to the file.
    double took = 0;
    ASSERT_TRUE(closeNodeWindow(60, &took));
    EXPECT_LT(took, 20.0);  // no accept loop to wait for; generous for a slow run
    std::vector<std::string> log = logLines();
    EXPECT_EQ(countPrefix(log, "Replying to discovery ping from "), 1);
    EXPECT_EQ(countPrefix(log, "Accepted remote connection"), 0);
    EXPECT_EQ(countPrefix(log, "Cannot bind to remote connection port (TCP 19668)"), 1);
    // The report names only the ports held, and the taken one as such.
    std::vector<std::string> ports;
    for (const auto& l : log)
        if (l.rfind("Ports:", 0) == 0) ports.push_back(l);
    EXPECT_EQ(ports, std::vector<std::string>{"Ports: UDP 19666 (discovery), TCP 19667 on 127.0.0.1 only (3dsmax); "
                                              "cannot bind TCP 19668 (masters)"});
}

// A second node started in the folder of a running one says so in one box
// and ends, without a line in the running node's log: when the box is
// clicked away, and when a stop request comes while nobody is there to click
// (an unattended deployment script would otherwise hang on it).
TEST_F(MasterPort, SecondNodeInTheSameFolderEndsWithoutTouchingTheFirstOnesLog) {
    startNode();
    ASSERT_TRUE(waitForLog("3dsmax releases configured: "));
    const std::string before = readFile(data / "DrLog.txt");
    const pid_t first = nodePid, firstGroup = nodeGroup;
    for (bool byStopRequest : {false, true}) {
        SCOPED_TRACE(byStopRequest ? "SIGTERM while the box waits" : "the box clicked away");
        startNode(false);
        if (byStopRequest) {
            EXPECT_FALSE(waitForMessageBox("Varnix DR node", 15).empty()) << readFile(root / "node.out");
            kill(nodePid, SIGTERM);
        } else {
            EXPECT_TRUE(dismissMessageBox("Varnix DR node", 15)) << readFile(root / "node.out");
        }
        bool ended = false;
        for (int i = 0; i < 200 && !(ended = !nodeRunning()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(ended) << "the second node still runs";
        if (!ended) kill(nodePid, SIGKILL);
    }
    nodePid = first;
    nodeGroup = firstGroup;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // a flush of the first node's log
    EXPECT_EQ(readFile(data / "DrLog.txt"), before);
    ASSERT_TRUE(closeNodeWindow(60));
    EXPECT_EQ(logLines().back(), "DR server stopped");
}

// drData deleted and made again under a running node: the node locks the
// new folder, and a second start there still finds it taken.
TEST_F(MasterPort, DataFolderMadeAgainUnderARunningNodeStillKeepsASecondOneOut) {
    startNode();
    ASSERT_TRUE(waitForLog("3dsmax releases configured: "));
    const pid_t first = nodePid, firstGroup = nodeGroup;
    fs::remove_all(data);
    fs::create_directory(data);
    bool locked = false;
    // A minute: the node takes the new folder on its next look, which a
    // loaded or sanitized run can hold up for many seconds.
    for (int i = 0; i < 1200 && !(locked = fs::exists(data / "DrNode.lock")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(locked) << "the running node did not lock the new folder";
    startNode(false);
    EXPECT_FALSE(waitForMessageBox("Varnix DR node", 15).empty()) << "a second node started in the remade folder";
    kill(nodePid, SIGTERM);
    for (int i = 0; i < 200 && nodeRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (nodeRunning()) kill(nodePid, SIGKILL);
    nodePid = first;
    nodeGroup = firstGroup;
    ASSERT_TRUE(closeNodeWindow(60));
}

TEST_F(MasterPort, ClosingTheIdleWindowEndsTheNodeWithinAboutTwoSeconds) {
    startNode();
    ProcessResult found = master({"discover", "--numeric", "127.0.0.1"}, 15);
    EXPECT_EQ(found.exitCode, 0) << found.output;
    double took = 0;
    ASSERT_TRUE(closeNodeWindow(60, &took));
    // The accept loop looks at its stop flag every 0.5 s; the bound leaves room
    // for a slow or sanitized run and still catches a loop that waits on.
    EXPECT_LT(took, 20.0);
    // Every line written before the close reached the file, whichever thread
    // wrote it last.
    std::vector<std::string> log = logLines();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "DR server started");
    EXPECT_EQ(log.back(), "DR server stopped");
    EXPECT_EQ(countPrefix(log, "Replying to discovery ping from "), 1);
}

}  // namespace
}  // namespace e2e
