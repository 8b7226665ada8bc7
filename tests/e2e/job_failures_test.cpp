// Jobs that go wrong on either side: a renderer that never connects, greets
// wrongly or crashes; a master that drops out during the scene or the render.
#include "NodeHarness.h"
#include "RawMaster.h"

#include <algorithm>
#include <csignal>
#include <cstdio>

namespace e2e {
namespace {

using VarnixTest::spawn;
using VarnixTest::waitFor;

// The texts that follow the first line starting with `first` (itself included).
std::vector<std::string> from(const std::vector<std::string>& log, const std::string& first) {
    auto it = std::find_if(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(first, 0) == 0; });
    return it == log.end() ? std::vector<std::string>{} : std::vector<std::string>(it, log.end());
}

bool hasPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

std::vector<std::string> sorted(std::vector<std::string> items) {
    std::sort(items.begin(), items.end());
    return items;
}

// Processes whose command line names `text` (a stand-in's install directory).
int processesNaming(const std::string& text) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string commandLine = readFile(entry.path() / "cmdline");
        std::replace(commandLine.begin(), commandLine.end(), '\0', ' ');
        if (commandLine.find(text) != std::string::npos) ++count;
    }
    return count;
}

using JobFailure = NodeTest;

TEST_F(JobFailure, EachTimeLimitEndsAHungRendererWithItsTreeAndTheNextMasterIsServed) {
    writeRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnix]\n\"rendererConnectSeconds\"=dword:00000002\n"
                  "\"rendererExitSeconds\"=dword:00000002\n\"renderSeconds\"=dword:00000005\n");
    struct {
        const char* version;
        const char* behaviour;
        const char* limitLine;
    } cases[] = {
        {"2011", "connect = no\ndumps = 10000\ndump_interval_ms = 1000\n", "within the connect limit of 2 s"},
        {"2012", "hang = silent\n", "longer than the render limit of 5 s"},
        {"2013", "hang = ignore_end\ndumps = 1\n", "within the exit limit of 2 s after the job was over"},
        {"2014", "hang = close_link\ndumps = 1\ndump_interval_ms = 100\n", "within the exit limit of 2 s"},
    };
    std::string config;
    for (const auto& c : cases) config += std::string(c.version) + " " + installStub(c.version, c.behaviour) + "\n";
    writeConfig(config + "2015 " + installStub("good") + "\n");
    startNode();
    ASSERT_TRUE(waitForLog("3dsmax time limits: connect 2 s, exit after the job 2 s, render 5 s"));
    int jobs = 0;
    for (const auto& c : cases) {
        ProcessResult job = render(c.version, "5", {"--end-after-dumps", "1", "--overwrite"}, 60);
        EXPECT_FALSE(job.timedOut) << c.version;
        ASSERT_TRUE(waitForLogCount("Ready for new connection", ++jobs, 30)) << c.version << job.output;
        std::vector<std::string> limits, ended;
        for (const std::string& line : logLines()) {
            if (line.rfind("Time limit reached after ", 0) == 0) limits.push_back(line);
            if (line.find(" of 3dsmax's process tree") != std::string::npos) ended.push_back(line);
        }
        ASSERT_EQ(limits.size(), std::size_t(jobs)) << c.version;
        EXPECT_NE(limits.back().find(c.limitLine), std::string::npos) << limits.back();
        EXPECT_EQ(ended.size(), std::size_t(jobs)) << c.version;
        EXPECT_EQ(processesNaming((root / "max" / c.version).string()), 0) << c.version;
        // Never a success, though dumps came before the limit.
        EXPECT_EQ(job.exitCode, 8) << c.version << job.output;
        EXPECT_NE(job.output.find("cut the job short"), std::string::npos) << job.output;
    }
    EXPECT_EQ(render("2015", "5", {"--end-after-dumps", "3", "--overwrite"}).exitCode, 0);
}

// The limits on what a renderer does: no CPU and no dump for the idle
// limit, its tree's memory past the memory limit. A renderer that computes,
// or sends dumps now and then, is left alone.
TEST_F(JobFailure, IdleAndMemoryLimitsEndOnlyARendererThatDoesNothingOrGrowsTooLarge) {
    writeRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnix]\n\"rendererIdleSeconds\"=dword:00000003\n"
                  "\"rendererMemoryMB\"=dword:00000040\n\"renderSeconds\"=dword:0000000a\n");
    struct {
        const char* version;
        const char* behaviour;
        const char* endLine;  // the first line of the ending; "" for a job that ends well
    } cases[] = {
        {"2011", "dumps = 1\ndump_interval_ms = 100\nhang = stuck\n", "Renderer stuck: 3dsmax's process tree used "},
        {"2012", "dumps = 1\ndump_interval_ms = 100\nhang = grow_memory\n",
         "Memory limit reached: 3dsmax's process tree used up to "},
        {"2013", "dumps = 1\ndump_interval_ms = 100\nhang = busy\n", "Time limit reached after "},
        {"2014", "dumps = 6\ndump_interval_ms = 1000\nend_wait_seconds = 0\n", ""},
    };
    std::string config;
    for (const auto& c : cases) config += std::string(c.version) + " " + installStub(c.version, c.behaviour) + "\n";
    writeConfig(config);
    startNode();
    ASSERT_TRUE(waitForLog("3dsmax idle and memory limits: idle 3 s under 2 % CPU, memory 64 MB"));
    int jobs = 0;
    for (const auto& c : cases) {
        // The master waits: only a renderer that ends, or the node, ends the job.
        ProcessResult job = render(c.version, "5", {"--overwrite"}, 60);
        EXPECT_FALSE(job.timedOut) << c.version;
        ASSERT_TRUE(waitForLogCount("Ready for new connection", ++jobs, 30)) << c.version << job.output;
        // This job's lines: from its own command on.
        std::vector<std::string> tail = logLines();
        auto own = std::find_if(tail.rbegin(), tail.rend(),
                                [](const std::string& l) { return l.rfind("Running command:", 0) == 0; });
        tail.erase(tail.begin(), own.base());
        std::string ended;
        for (const std::string& line : tail)
            if (line.find(" of 3dsmax's process tree") != std::string::npos) ended = line;
        EXPECT_EQ(processesNaming((root / "max" / c.version).string()), 0) << c.version;
        if (std::string(c.endLine).empty()) {
            EXPECT_EQ(job.exitCode, 0) << c.version << job.output;
            EXPECT_EQ(ended, "") << c.version;
            continue;
        }
        EXPECT_TRUE(hasPrefix(tail, c.endLine)) << c.version << ": " << testing::PrintToString(tail);
        EXPECT_NE(ended, "") << c.version;
        EXPECT_EQ(job.exitCode, 8) << c.version << job.output;
        EXPECT_NE(job.output.find("cut the job short"), std::string::npos) << job.output;
    }
    // It did reach the limit: the stand-in grew, and what the node measured
    // of its tree (the stand-in, its shell and their own pages) was at least it.
    // How far the stand-in itself got depends on when the watcher looked.
    EXPECT_NE(stubRecord("2012").find("memory_mb: 16"), std::string::npos);
    const std::string usedUpTo = "3dsmax's process tree used up to ";
    int usedMb = 0;
    for (const std::string& line : logLines())
        if (line.find(usedUpTo) != std::string::npos)
            usedMb = std::stoi(line.substr(line.find(usedUpTo) + usedUpTo.size()));
    EXPECT_GE(usedMb, 64);
}

TEST_F(JobFailure, RendererThatNeverConnectsEndsTheJob) {
    writeConfig("2014 " + installStub("max", "connect = no\n") + "\n");
    startNode();
    ProcessResult job = render("2014", "5", {}, 60);
    EXPECT_EQ(job.exitCode, 11) << job.output;  // no image came back
    EXPECT_NE(job.output.find("the node ended the job without sending an image"), std::string::npos) << job.output;
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    std::vector<std::string> tail = from(logLines(), "Running command:");
    ASSERT_FALSE(tail.empty());
    EXPECT_EQ(std::vector<std::string>(tail.begin() + 1, tail.end()),
              (std::vector<std::string>{"Got no response from 3dsmax, aborting", "Closed loopback connection\n\n",
                                        "3dsmax exited with status 0", "No image was sent to the master in this job",
                                        "Ready for new connection"}));
    EXPECT_NE(stubRecord("max").find("not_connecting"), std::string::npos);
}

TEST_F(JobFailure, RendererWithAWrongGreetingIsWarnedAboutAndWaitedFor) {
    writeConfig("2014 " + installStub("max", "greeting = wrong\n") + "\n");
    startNode();
    ProcessResult job = render("2014", "5", {}, 60);
    EXPECT_EQ(job.exitCode, 11) << job.output;
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    std::vector<std::string> tail = from(logLines(), "Running command:");
    ASSERT_FALSE(tail.empty());
    EXPECT_EQ(
        std::vector<std::string>(tail.begin() + 1, tail.end()),
        (std::vector<std::string>{"WARNING: Got bogus loopback connection", "Got no response from 3dsmax, aborting",
                                  "Closed loopback connection\n\n", "3dsmax exited with status 0",
                                  "No image was sent to the master in this job", "Ready for new connection"}));
}

TEST_F(JobFailure, RendererCrashingMidRenderEndsTheRelay) {
    std::string crashing = installStub("max", "dumps = 5\ndump_interval_ms = 300\ncrash_after_dumps = 2\n");
    std::string good = installStub("good", "dumps = 3\ndump_interval_ms = 100\n");
    writeConfig("2014 " + crashing + "\n2015 " + good + "\n");
    watchDumps();
    startNode();
    ProcessResult job = render("2014", "5", {}, 60);
    EXPECT_EQ(job.exitCode, 0) << job.output;  // two whole dumps came; the renderer's crash does not show on the link
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    std::vector<std::string> log = logLines();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.rfind("Finished EXR dump after ", 0) == 0; }),
              2);
    EXPECT_FALSE(hasPrefix(log, "Got END signal"));
    EXPECT_NE(stubRecord("max").find("crash"), std::string::npos);
    EXPECT_TRUE(hasPrefix(log, "3dsmax exited with status 134 (signal 6, SIGABRT)"));
    std::size_t received = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(out)) ++received;
    EXPECT_EQ(received, 2u);
    std::vector<std::string> written = writtenDumps();
    EXPECT_EQ(written.size(), 2u);
    // What came is what the renderer wrote, byte for byte.
    EXPECT_EQ(sorted(contentsIn(out)), sorted(written));

    // The same node then serves a whole job, and leaves no dump behind.
    fs::path next = root / "next";
    fs::create_directories(next);
    ProcessResult second = master({"render", "--node", "127.0.0.1", "--version", "2015", "--frame", "6", "--scene",
                                   scene.string(), "--out", next.string(), "--end-after-dumps", "3"});
    EXPECT_EQ(second.exitCode, 0) << second.output;
    ASSERT_TRUE(waitForLogCount("Ready for new connection", 2));
    std::vector<std::string> arrived = contentsIn(next);
    EXPECT_EQ(arrived.size(), 3u);
    written = writtenDumps();
    for (const auto& dump : arrived)
        EXPECT_NE(std::find(written.begin(), written.end(), dump), written.end()) << "a dump the renderer never wrote";
    for (const auto& entry : fs::directory_iterator(data))
        EXPECT_NE(entry.path().filename().string().rfind("dump", 0), 0u) << entry.path();
}

TEST_F(JobFailure, HelperLeftByARendererNeverWritesIntoTheNextJob) {
    // The first renderer exits at once, leaving a detached helper that
    // writes a dump 3 s later, in the middle of the next job.
    std::string leaving =
        installStub("max", "dumps = 1\ndump_interval_ms = 100\nend_wait_seconds = 0\nlate_dump_ms = 3000\n");
    std::string good = installStub("good", "dumps = 3\ndump_interval_ms = 1500\n");
    writeConfig("2014 " + leaving + "\n2015 " + good + "\n");
    watchDumps();
    startNode();
    EXPECT_EQ(render("2014", "5").exitCode, 0);
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    EXPECT_TRUE(hasPrefix(logLines(), "Ended 1 process left behind by 3dsmax"));
    fs::path next = root / "next";
    fs::create_directories(next);
    ProcessResult second = master({"render", "--node", "127.0.0.1", "--version", "2015", "--frame", "6", "--scene",
                                   scene.string(), "--out", next.string(), "--end-after-dumps", "3"});
    EXPECT_EQ(second.exitCode, 0) << second.output;
    std::vector<std::string> written = writtenDumps();
    for (const auto& dump : contentsIn(next))
        EXPECT_NE(std::find(written.begin(), written.end(), dump), written.end()) << "a dump of an earlier job";
}

// A node that dies mid-job leaves its renderer running; restarted at once,
// it must not take that renderer (or its dumps) into the next job, whose own
// renderer loads for a while.
TEST_F(JobFailure, RendererOfANodeKilledMidJobNeverReachesTheNextJob) {
    struct {
        const char* name;
        const char* behaviour;
        const char* killAfter;
    } cases[] = {
        // Still loading: it would connect first and be taken as 3ds Max.
        {"loading", "connect_delay_ms = 3000\n", "Running command:"},
        // Its helper writes a dump into the data folder without any link; it
        // waits long enough to be still there however slowly the kill and the
        // master's end come on a loaded machine.
        {"helper", "dumps = 1\ndump_interval_ms = 100\nend_wait_seconds = 5\nlate_dump_ms = 20000\n",
         "Finished EXR dump after "},
    };
    std::string config;
    int version = 2011;
    for (const auto& c : cases) config += std::to_string(version++) + " " + installStub(c.name, c.behaviour) + "\n";
    std::string good = installStub("good", "connect_delay_ms = 3000\ndumps = 3\ndump_interval_ms = 1500\n");
    writeConfig(config + "2016 " + good + "\n");
    watchDumps();
    version = 2011;
    int restarts = 0;
    for (const auto& c : cases) {
        startNode();
        std::vector<std::string> before = logLines();
        int seen = int(std::count_if(before.begin(), before.end(),
                                     [&](const std::string& l) { return l.find(c.killAfter) != std::string::npos; }));
        pid_t m = startMaster({"render", "--node", "127.0.0.1", "--version", std::to_string(version++), "--frame", "9",
                               "--scene", scene.string(), "--out", (root / c.name).string()},
                              root / "master.out");
        ASSERT_TRUE(waitForLogCount(c.killAfter, seen + 1, 60)) << c.name;
        // The command's line comes just before the renderer starts: on a
        // loaded machine the kill could otherwise come between the two.
        const std::string renderer = (root / "max" / c.name).string();
        for (int i = 0; i < 600 && processesNaming(renderer) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        killNodeAlone();
        finishMaster(m, 30);
        ASSERT_GT(processesNaming(renderer), 0) << c.name << ": nothing was left running";

        startNode();
        std::vector<std::string> log = logLines();
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [&](const std::string& l) {
                                    return l.rfind("Ended ", 0) == 0 &&
                                           l.find(" left running by an earlier run of the node in " + data.string()) !=
                                               std::string::npos;
                                }),
                  ++restarts)
            << c.name;
        // Each kill is named once, by the run after it; a clean stop is not.
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [](const std::string& l) {
                                    return l.rfind("WARNING: The earlier run of the node in ", 0) == 0 &&
                                           l.find(" ended without \"DR server stopped\"") != std::string::npos;
                                }),
                  restarts)
            << c.name;
        EXPECT_EQ(processesNaming((root / "max" / c.name).string()), 0) << c.name;
        fs::path next = root / (std::string(c.name) + "-next");
        fs::create_directories(next);
        ProcessResult job = master({"render", "--node", "127.0.0.1", "--version", "2016", "--frame", "5", "--scene",
                                    scene.string(), "--out", next.string(), "--end-after-dumps", "3"});
        EXPECT_EQ(job.exitCode, 0) << c.name << job.output;
        std::vector<std::string> own = writtenDumps(5), arrived = contentsIn(next);
        EXPECT_EQ(arrived.size(), 3u) << c.name;
        for (const auto& dump : arrived)
            EXPECT_NE(std::find(own.begin(), own.end(), dump), own.end()) << c.name << ": a dump of the earlier job";
        ASSERT_TRUE(closeNodeWindow(30)) << c.name;
    }
}

TEST_F(JobFailure, ConnectionFromAnEarlierJobsProcessIsBogusAndTheJobsOwn3dsmaxIsServed) {
    // A renderer of an earlier job that outlived its node, greeting well.
    std::string earlier = installStub("earlier", "connect_timeout_seconds = 5\n");
    writeConfig("2014 " + installStub("max", "connect_delay_ms = 3000\n") + "\n");
    watchDumps();
    startNode();
    pid_t m = startMaster({"render", "--node", "127.0.0.1", "--version", "2014", "--frame", "5", "--scene",
                           scene.string(), "--out", out.string(), "--end-after-dumps", "3"},
                          root / "master.out");
    ASSERT_TRUE(waitForLog("Running command:", 60));
    std::string folder = (work / "drData").string() + "/";
    pid_t stray =
        spawn({earlier + "3dsmaxcmd.exe", scene.string(), "-o:" + (root / "stray.png").string(), "-start:9", "-end:9"},
              root, root / "stray.out", {{"VARNIX_DR_JOB", "1-1.1-1 " + folder}});
    ASSERT_GT(stray, 0);
    EXPECT_EQ(waitFor(stray, 60), 4) << readFile(root / "stray.out");  // the node did not greet it as 3ds Max
    EXPECT_EQ(finishMaster(m, 60), 0) << readFile(root / "master.out");
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    std::vector<std::string> tail = from(logLines(), "Running command:");
    ASSERT_GE(tail.size(), 3u);
    EXPECT_EQ(tail[1], "WARNING: Got bogus loopback connection");
    EXPECT_EQ(tail[2].rfind("3dsmax is online after ", 0), 0u) << tail[2];
    EXPECT_EQ(stubRecord("earlier").find("greeting_sent"), std::string::npos);
    std::vector<std::string> own = writtenDumps(5), arrived = contentsIn(out);
    EXPECT_EQ(arrived.size(), 3u);
    for (const auto& dump : arrived) EXPECT_NE(std::find(own.begin(), own.end(), dump), own.end());
}

// 3ds Max's own error code fails the job whatever dumps came, is named in
// the log and the status answer, and a licence error needs an admin's eye.
// What a scene script printed as UTF-16 stays in MaxLog.txt byte for byte.
TEST_F(JobFailure, RendererErrorCodeFailsTheJobAndItsUtf16OutputIsKept) {
    writeConfig("2014 " +
                installStub("max", "dumps = 1\ndump_interval_ms = 50\nexit_code = -8\n"
                                   "script_output = Licence \xC3\xA9\xE5\x90\x8D ok\n") +
                "\n");
    startNode();
    EXPECT_EQ(render("2014", "5", {"--end-after-dumps", "1"}).exitCode, 0);  // the dump came
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    EXPECT_TRUE(hasPrefix(logLines(), "3dsmax exited with status 248 (3ds Max return code -8: licence error)"));
    ProcessResult status = master({"status", "--json", "127.0.0.1"}, 30, true);
    for (const char* field : {"\"outcome\":\"failed\"", "\"renderer_exit\":248",
                              "3dsmax returned an error code (3ds Max return code -8: licence error)",
                              "\"attention\":[\"failed job\",\"licence error\"]"})
        EXPECT_NE(status.output.find(field), std::string::npos) << field << "\n" << status.output;
    const std::u16string printed = u"Licence \u00E9\u540D ok\r\n";
    std::string utf16;
    for (char16_t unit : printed) utf16 += {char(unit & 0xFF), char(unit >> 8)};
    EXPECT_NE(readFile(data / "MaxLog.txt").find(utf16), std::string::npos);
}

TEST_F(JobFailure, RendererOutputThatCannotBeWrittenIsLoggedWithTheSystemsReason) {
    writeConfig("2014 " + installStub("max") + "\n");
    fs::create_directories(data / "MaxLog.txt");
    startNode();
    EXPECT_EQ(render("2014", "5").exitCode, 11);
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    std::vector<std::string> log = logLines();
    EXPECT_TRUE(
        hasPrefix(log, "Cannot write the renderer's output to " + data.string() + "//MaxLog.txt: Is a directory"));
    EXPECT_TRUE(hasPrefix(log, "3dsmax exited with status 2"));
}

TEST_F(JobFailure, MasterDroppingMidSceneStartsNoRenderer) {
    writeConfig("2014 " + installStub("max") + "\n");
    startNode();
    RawMaster m;
    ASSERT_TRUE(m.connect());
    ASSERT_TRUE(m.greet());
    ASSERT_TRUE(m.sendParameters("2014 1"));
    ASSERT_TRUE(m.sendScene(200000, 70000));
    m.close();
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    // The download line is owed even so, with what reached the disk.
    std::vector<std::string> tail = from(logLines(), "Downloading 3dsmax");
    ASSERT_EQ(tail.size(), 4u);
    EXPECT_EQ(tail[0], "Downloading 3dsmax 2014 scene to render with 3dsmax 2014");
    EXPECT_EQ(tail[1].rfind("Downloaded scene: 70,000 bytes in ", 0), 0u) << tail[1];
    EXPECT_EQ(tail[2], "Scene download failed");
    EXPECT_EQ(tail[3], "Ready for new connection");
    EXPECT_TRUE(stubRecord("max").empty());

    // A negative size is a failed transfer too.
    RawMaster n;
    ASSERT_TRUE(n.connect());
    ASSERT_TRUE(n.greet());
    ASSERT_TRUE(n.sendParameters("2014 1"));
    ASSERT_TRUE(n.sendScene(-5, 0));
    EXPECT_TRUE(n.waitForClose(10));
    ASSERT_TRUE(waitForLogCount("Scene download failed", 2));
    EXPECT_TRUE(stubRecord("max").empty());
}

TEST_F(JobFailure, MasterDroppingMidRenderLeavesTheRendererToFinish) {
    writeConfig("2014 " + installStub("max", "dumps = 6\ndump_interval_ms = 400\n") + "\n");
    startNode();
    RawMaster m;
    ASSERT_TRUE(m.connect());
    ASSERT_TRUE(m.greet());
    ASSERT_TRUE(m.sendParameters("2014 1"));
    ASSERT_TRUE(m.sendScene(3000, 3000));
    std::string dump;
    ASSERT_TRUE(m.readDump(dump, 30));
    m.close();
    ASSERT_TRUE(waitForLog("Ready for new connection", 30));
    std::vector<std::string> tail = from(logLines(), "Closed loopback connection");
    ASSERT_FALSE(tail.empty());
    EXPECT_EQ(tail.back(), "Ready for new connection");
    // The renderer was not told to end, and had exited before the node was
    // ready again.
    std::string record = stubRecord("max");
    EXPECT_EQ(record.find("end_received"), std::string::npos) << record;
    EXPECT_NE(record.find("link_closed_by_node"), std::string::npos) << record;
    EXPECT_NE(record.find("\nexit: "), std::string::npos) << record;
    // Dumps the master did not take are purged (development mode is off).
    for (const auto& entry : fs::directory_iterator(data))
        EXPECT_NE(entry.path().filename().string().rfind("dump", 0), 0u) << entry.path();
}

// A master gone before 3ds Max connects: 3ds Max is still greeted, told the
// data folder and has its link closed (which is how it learns the job is
// over), and the next job meets no stale connection.
TEST_F(JobFailure, MasterLeavingBeforeTheRendererConnectsStillHasTheRendererGreetedAndReleased) {
    std::string max = installStub("max", "dumps = 0\nconnect_delay_ms = 1500\nend_wait_seconds = 30\n");
    writeConfig("2014 " + max + "\n");
    startNode();
    RawMaster m;
    ASSERT_TRUE(m.connect());
    ASSERT_TRUE(m.greet());
    ASSERT_TRUE(m.sendParameters("2014 1"));
    ASSERT_TRUE(m.sendScene(3000, 3000));
    ASSERT_TRUE(waitForLog("Running command:"));
    m.close();
    ASSERT_TRUE(waitForLog("Ready for new connection", 60));
    std::string record = stubRecord("max");
    EXPECT_NE(record.find("greeting_sent: good"), std::string::npos) << record;
    EXPECT_NE(record.find("data_directory: " + data.string() + "/"), std::string::npos) << record;
    EXPECT_NE(record.find("link_closed_by_node"), std::string::npos) << record;
    EXPECT_EQ(record.find("end_wait_timed_out"), std::string::npos) << record;
    std::vector<std::string> tail = from(logLines(), "Running command:");
    ASSERT_GE(tail.size(), 3u);
    tail.erase(tail.begin());
    ASSERT_EQ(tail.front().rfind("3dsmax is online after ", 0), 0u) << tail.front();
    tail.erase(tail.begin());
    EXPECT_EQ(tail,
              (std::vector<std::string>{"The master left before 3dsmax connected", "Closed loopback connection\n\n",
                                        "3dsmax exited with status 0", "No image was sent to the master in this job",
                                        "Ready for new connection"}));

    installStub("max", "dumps = 1\ndump_interval_ms = 100\n");
    ProcessResult next = render("2014", "2", {"--end-after-dumps", "1"}, 120);
    EXPECT_EQ(next.exitCode, 0) << next.output;
    EXPECT_FALSE(hasPrefix(logLines(), "WARNING: Got bogus loopback connection"));
}

TEST_F(JobFailure, RendererThatSentBytesAfterItsGreetingIsStillSeenClosing) {
    // It writes one dump, chatters on the link, and closes without waiting
    // for END; the master never sends END, so only the close can end the job.
    writeConfig("2014 " +
                installStub("max", "dumps = 1\ndump_interval_ms = 200\nbytes_after_greeting = 300\n"
                                   "end_wait_seconds = 0\n") +
                "\n");
    startNode();
    ProcessResult job = render("2014", "5", {}, 60);
    EXPECT_EQ(job.exitCode, 0) << job.output;
    EXPECT_FALSE(job.timedOut);
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    std::string record = stubRecord("max");
    EXPECT_NE(record.find("bytes_sent_after_greeting: 300"), std::string::npos) << record;
    std::vector<std::string> log = logLines();
    EXPECT_FALSE(hasPrefix(log, "Got END signal"));
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.rfind("Finished EXR dump after ", 0) == 0; }),
              1);
}

TEST_F(JobFailure, JobWithoutAnyImageSaysSoAtItsEnd) {
    const std::string noImage = "No image was sent to the master in this job";
    // The renderer never connects.
    writeConfig("2014 " + installStub("max", "connect = no\ndumps = 1\n") + "\n2015 " +
                installStub("crash", "crash_after_dumps = 0\n") + "\n2016 " + installStub("good") + "\n");
    startNode();
    ProcessResult job = render("2014", "5", {}, 60);
    EXPECT_EQ(job.exitCode, 11) << job.output;  // drmaster says it too: no image
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    std::vector<std::string> tail = from(logLines(), "Closed loopback connection");
    EXPECT_EQ(tail, (std::vector<std::string>{"Closed loopback connection\n\n", "3dsmax exited with status 0", noImage,
                                              "Ready for new connection"}));

    // It connects and crashes before its first dump.
    job = render("2015", "5", {}, 60);
    EXPECT_EQ(job.exitCode, 11) << job.output;
    ASSERT_TRUE(waitForLogCount("Ready for new connection", 2));
    std::vector<std::string> log = logLines();
    EXPECT_EQ(std::count(log.begin(), log.end(), noImage), 2);

    // A job that brought its images back does not say it.
    job = render("2016", "5", {"--end-after-dumps", "3"}, 60);
    EXPECT_EQ(job.exitCode, 0) << job.output;
    ASSERT_TRUE(waitForLogCount("Ready for new connection", 3));
    log = logLines();
    EXPECT_EQ(std::count(log.begin(), log.end(), noImage), 2);
    EXPECT_EQ(log.back(), "Ready for new connection");
}

// The free space is the development figure the node is given, so that a full
// disk needs no small filesystem (mounting one needs privileges a test may
// not have). A scene that does not fit, or would eat into the admin's margin,
// is refused before it is sent, as an unconfigured version is; one that fits
// runs, and a disk below the margin (1 GiB without one) is warned about once.
TEST_F(JobFailure, ASceneTheDataDiskCannotHoldIsRefusedAsAVersionIsAndALowDiskIsWarnedAbout) {
    writeConfig("2014 " + installStub("max", "dumps = 2\ndump_interval_ms = 100\n") + "\n");
    scene = makeScene("big.max", 16 << 20);
    struct {
        int freeMB, marginMB;
        const char* reportLine;
        const char* refusal;  // null: the job runs
    } cases[] = {
        {10, 0, "Data disk: 10 MB free; a scene that does not fit is refused",
         "Not enough free space for the scene on the data folder's disk: 10,485,760 bytes free, 16,777,216 bytes "
         "needed (the scene's 16,777,216 bytes plus a margin of 0 MB); job refused"},
        {20, 8, "Data disk: 20 MB free; a scene that would leave less than 8 MB free is refused",
         "Not enough free space for the scene on the data folder's disk: 20,971,520 bytes free, 25,165,824 bytes "
         "needed (the scene's 16,777,216 bytes plus a margin of 8 MB); job refused"},
        {20, 0, "Data disk: 20 MB free; a scene that does not fit is refused", nullptr},
        // The scene of the job before is replaced: its room counts as free.
        {10, 0, "Data disk: 10 MB free; a scene that does not fit is refused", nullptr},
    };
    int starts = 0;
    for (const auto& c : cases) {
        char registry[256];
        std::snprintf(registry, sizeof registry,
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnix]\n\"developmentVer\"=dword:56524e58\n"
                      "\"developmentFreeDiskMB\"=dword:%08x\n\"dataDiskMarginMB\"=dword:%08x\n",
                      c.freeMB, c.marginMB);
        writeRegistry(registry);
        startNode();
        ++starts;
        ASSERT_TRUE(waitForLogCount(c.reportLine, 1)) << c.reportLine;
        ProcessResult job = render("2014", "5", {"--end-after-dumps", "2", "--overwrite"}, 90);
        ASSERT_TRUE(waitForLogCount("Ready for new connection", starts, 30)) << job.output;
        std::vector<std::string> log = logLines();
        auto last = std::find_if(log.rbegin(), log.rend(),
                                 [](const std::string& l) { return l.rfind("Parameters received: ", 0) == 0; });
        ASSERT_NE(last, log.rend());
        std::vector<std::string> tail(last.base() - 1, log.end());
        const std::string warning = "WARNING: the data folder's disk is nearly full: " + std::to_string(c.freeMB) +
                                    " MB free, less than 1,024 MB";
        if (c.refusal != nullptr) {
            // As for a refused version: refused (7), or, when the scene
            // had already gone into the buffers, no image (11).
            EXPECT_TRUE(job.exitCode == 7 || job.exitCode == 11) << job.output;
            // The node's status tells drmaster which refusal it was.
            if (job.exitCode == 7) {
                EXPECT_NE(job.output.find("refused the job because the data folder's disk has no room for the scene"),
                          std::string::npos)
                    << job.output;
            }
            ASSERT_GE(tail.size(), 3u);
            EXPECT_EQ(std::vector<std::string>(tail.begin() + 1, tail.begin() + 3),
                      (std::vector<std::string>{c.refusal, "Ready for new connection"}));
        } else {
            EXPECT_EQ(job.exitCode, 0) << job.output;
            EXPECT_EQ(std::count(tail.begin(), tail.end(), warning), 1) << c.freeMB;
        }
        EXPECT_TRUE(signalNode(SIGTERM, 60));
    }
}

}  // namespace
}  // namespace e2e
