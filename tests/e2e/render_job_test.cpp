// Whole render jobs on the real node, driven by drmaster and the 3ds Max
// stand-in.
#include "NodeHarness.h"
#include "RawMaster.h"
#include "support/LogLines.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

namespace e2e {
namespace {

// The lines of `log` that start with one of `prefixes`, in log order, must be
// exactly `prefixes` in this order (each line matched by its prefix).
void expectSequence(const std::vector<std::string>& log, const std::vector<std::string>& prefixes) {
    std::vector<std::string> picked;
    for (const auto& line : log)
        for (const auto& prefix : prefixes)
            if (line.rfind(prefix, 0) == 0) {
                picked.push_back(prefix);
                break;
            }
    EXPECT_EQ(picked, prefixes);
}

using VarnixTest::countPrefix;

int countLines(const std::string& text, const std::string& line) {
    int n = 0;
    std::size_t at = 0;
    while ((at = text.find(line + "\n", at)) != std::string::npos) {
        if (at == 0 || text[at - 1] == '\n') ++n;
        at += line.size();
    }
    return n;
}

std::vector<std::string> dumpFilesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("dump", 0) == 0) names.push_back(name);
    }
    return names;
}

using RenderJob = NodeTest;

TEST_F(RenderJob, WholeJobWithTheNearestNewerVersion) {
    std::string max2014 = installStub("max2014", "dumps = 3\ndump_interval_ms = 400\n");
    std::string max2016 = installStub("max2016");
    writeConfig("2014 " + max2014 + "\n2016 " + max2016 + "\n");
    watchDumps();
    startNode();

    ProcessResult found = master({"discover", "--numeric", "127.0.0.1"}, 15);
    EXPECT_EQ(found.exitCode, 0) << found.output;
    EXPECT_NE(found.output.find("127.0.0.1"), std::string::npos) << found.output;

    ProcessResult job = render("2012", "7", {"--end-after-dumps", "3"});
    ASSERT_EQ(job.exitCode, 0) << job.output;
    ASSERT_TRUE(waitForLog("Ready for new connection"));

    // The renderer of 2014 got exactly the command line of the job.
    std::string w = data.string() + "/";
    std::string command = "echo Starting 3dsmax DR... && \"" + max2014 + "3dsmaxcmd.exe\" \"" + w +
                          "/received_scene.max\" -o:\"" + w +
                          "/dr_out.png\" -start:7 -end:7 -continueOnError "
                          "-gammaCorrection:1 -rfw:1 -sf  >> \"" +
                          w + "/MaxLog.txt\"";
    std::vector<std::string> log = logLines();
    EXPECT_NE(std::find(log.begin(), log.end(), "Running command:\n" + command), log.end());
    std::string record = stubRecord("max2014");
    std::string expectedArguments = "argument: " + w + "/received_scene.max\nargument: -o:" + w +
                                    "/dr_out.png\nargument: -start:7\nargument: -end:7\n"
                                    "argument: -continueOnError\nargument: -gammaCorrection:1\n"
                                    "argument: -rfw:1\nargument: -sf\n";
    EXPECT_NE(record.find("run\n" + expectedArguments), std::string::npos) << record;
    EXPECT_NE(record.find("data_directory: " + w + "\n"), std::string::npos) << record;
    EXPECT_EQ(countLines(record, "end_received"), 1) << record;
    EXPECT_TRUE(stubRecord("max2016").empty());
    EXPECT_EQ(readFile(data / "received_scene.max"), readFile(scene));
    EXPECT_FALSE(readFile(data / "MaxLog.txt").empty());

    // The master got every dump the renderer wrote, byte for byte.
    std::vector<std::string> written = writtenDumps();
    EXPECT_EQ(written.size(), 3u);
    EXPECT_EQ(contentsIn(out), written);

    const std::string wPath = data.string() + "//";
    EXPECT_EQ(countPrefix(log, "Replying to discovery ping from "), 1);
    expectSequence(log,
                   {"Accepted remote connection from ", "Parameters received: 2012 7",
                    "Downloading 3dsmax 2012 scene to render with 3dsmax 2014", "Downloaded scene: 100,000 bytes in ",
                    "Running command:\n", "3dsmax is online after ", "Started EXR dump (", "Finished EXR dump after ",
                    "Removed file: " + wPath + "dump1.exr", "Started EXR dump (", "Finished EXR dump after ",
                    "Removed file: " + wPath + "dump2.exr", "Started EXR dump (", "Finished EXR dump after ",
                    "Removed file: " + wPath + "dump3.exr", "Got END signal from remote side, forwarding to 3dsmax",
                    "Closed loopback connection\n\n", "3dsmax exited with status 0", "Ready for new connection"});
    EXPECT_TRUE(dumpFilesIn(data).empty());
}

// Without newestMaxRelease a 2024 line and job are refused and the start
// names the 2024 in the registry; with it 2024 renders a 2024 and a 2019 job.
TEST_F(RenderJob, ReleasesAfter2016OnlyWhenTheAdminTurnsThemOn) {
    std::string max2024 = installStub("max2024", "dumps = 1\ndump_interval_ms = 50\n");
    writeConfig("2024 " + max2024 + "\n");
    const std::string installed =
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMax\\26.0]\n\"Installdir\"=\"" + max2024 + "\"\n";
    writeRegistry(installed);
    startNode();
    EXPECT_NE(render("2024", "3").exitCode, 0);
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    std::vector<std::string> log = logLines();
    for (const char* line :
         {"Error in the config file", "Unsupported 3dsmax version: 2024",
          "The registry also holds 3dsmax 2024, which this node does not take: it takes releases up to 2016. To "
          "render with them, set the REG_DWORD newestMaxRelease under HKLM\\SOFTWARE\\Varnix"})
        EXPECT_EQ(countPrefix(log, line), 1) << line;
    ASSERT_TRUE(closeNodeWindow(30));

    writeRegistry(installed + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnix]\n\"newestMaxRelease\"=dword:000007eb\n");
    startNode();
    for (const char* version : {"2024", "2019"})
        EXPECT_EQ(render(version, "3", {"--end-after-dumps", "1", "--overwrite"}).exitCode, 0) << version;
    ASSERT_TRUE(waitForLogCount("Ready for new connection", 3, 30));
    log = logLines();
    for (const char* line : {"3dsmax releases taken: 2011 to 2027 (newestMaxRelease)",
                             "Downloading 3dsmax 2024 scene to render with 3dsmax 2024",
                             "Downloading 3dsmax 2019 scene to render with 3dsmax 2024", "Error in the config file",
                             "The registry also holds 3dsmax"})
        EXPECT_EQ(countPrefix(log, line), 1) << line;  // the last two from the first start only
}

// The shell appends the renderer's output to MaxLog.txt by name: a link
// planted there (the data folder is writable by local programs) is removed
// first, so the output never lands in the file it points to.
TEST_F(RenderJob, RendererOutputNeverGoesThroughALinkAtMaxLog) {
    writeConfig("2014 " + installStub("max", "dumps = 1\n") + "\n");
    startNode();
    writeFile(root / "outside.txt", "keep\n");
    fs::create_symlink(root / "outside.txt", data / "MaxLog.txt");

    ProcessResult job = render("2014", "1", {"--end-after-dumps", "1"});
    ASSERT_EQ(job.exitCode, 0) << job.output;
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    EXPECT_EQ(readFile(root / "outside.txt"), "keep\n");
    EXPECT_FALSE(fs::is_symlink(data / "MaxLog.txt"));
    EXPECT_FALSE(readFile(data / "MaxLog.txt").empty());
    std::vector<std::string> log = logLines();
    expectSequence(log, {"Downloaded scene: ",
                         "Removed " + data.string() +
                             "//MaxLog.txt: it was a symbolic link, and the node never "
                             "writes through one",
                         "Running command:\n"});

    // Grown past 64 MiB, it is moved aside before the next job writes to it.
    fs::resize_file(data / "MaxLog.txt", 64 << 20);
    ProcessResult next = render("2014", "2", {"--end-after-dumps", "1"});
    ASSERT_EQ(next.exitCode, 0) << next.output;
    ASSERT_TRUE(waitForLogCount("Ready for new connection", 2));
    EXPECT_EQ(fs::file_size(data / "MaxLog.1.txt"), std::uintmax_t(64 << 20));
    EXPECT_LT(fs::file_size(data / "MaxLog.txt"), std::uintmax_t(1 << 20));
    EXPECT_EQ(countPrefix(logLines(), "Moved " + data.string() + "//MaxLog.txt (67,108,864 bytes) to " + data.string() +
                                          "//MaxLog.1.txt; the renderer's output starts a new one"),
              1);
}

// A folder the node can start in is one it can render in: 3ds Max is told
// the data folder as the bytes the node found it as, and writes its dumps
// there, whatever the name's encoding.
class RenderJobInAFolderNotUtf8 : public NodeTest {
public:
    RenderJobInAFolderNotUtf8() { workName = "x\xffy"; }
};

TEST_F(RenderJobInAFolderNotUtf8, TheRendererIsToldItsBytesAndTheDumpsArrive) {
    writeConfig("2014 " + installStub("max", "dumps = 2\n") + "\n");
    startNode();
    ProcessResult job = render("2014", "1", {"--end-after-dumps", "2"});
    EXPECT_EQ(job.exitCode, 0) << job.output;
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    EXPECT_NE(stubRecord("max").find("data_directory: " + data.string() + "/\n"), std::string::npos)
        << stubRecord("max");
    EXPECT_EQ(contentsIn(out).size(), 2u);
}

TEST_F(RenderJob, EndSignalsAreForwardedEvenWhenSentBeforeTheRendererConnects) {
    std::string max = installStub("max", "dumps = 2\ndump_interval_ms = 1500\nend_linger_ms = 3000\n");
    writeConfig("2016 " + max + "\n");
    startNode();

    RawMaster m;
    ASSERT_TRUE(m.connect());
    ASSERT_TRUE(m.greet());
    ASSERT_TRUE(m.sendParameters("2016 3"));
    ASSERT_TRUE(m.sendScene(1000, 1000));
    // Both wait in the connection until the relay loop reads them, one a turn.
    ASSERT_TRUE(m.sendEnd());
    ASSERT_TRUE(m.sendEnd());
    EXPECT_TRUE(m.waitForClose(30));
    ASSERT_TRUE(waitForLog("Ready for new connection"));

    std::vector<std::string> log = logLines();
    EXPECT_EQ(countPrefix(log, "Got END signal from remote side, forwarding to 3dsmax"), 2);
    EXPECT_EQ(countLines(stubRecord("max"), "end_received"), 2) << stubRecord("max");
    expectSequence(log, {"3dsmax is online after ", "Got END signal from remote side, forwarding to 3dsmax",
                         "Got END signal from remote side, forwarding to 3dsmax", "Closed loopback connection\n\n"});
}

// Neither Windows nor logind counts a busy CPU as use of the machine: the
// node holds logind's idle and sleep lock (here its stand-in's, on a bus of
// the test's own) from the scene's arrival to the job's end, and only then.
TEST_F(RenderJob, TheMachineIsKeptAwakeFromTheScenesArrivalToTheJobsEnd) {
    const std::string bus = "unix:path=" + (root / "bus").string();
    writeFile(
        root / "bus.conf",
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
        "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig>"
        "<listen>" +
            bus +
            "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
            "<allow own=\"*\"/><allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/></policy></busconfig>\n");
    pid_t daemon =
        VarnixTest::spawn({"/usr/bin/dbus-daemon", "--nofork", "--config-file=" + (root / "bus.conf").string()},
                          root.string(), (root / "bus.out").string());
    ASSERT_GT(daemon, 0);
    for (int i = 0; i < 200 && !fs::exists(root / "bus"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pid_t logind = VarnixTest::spawn({std::string(VARNIX_BIN_DIR) + "/logind-stand-in"}, root.string(),
                                     (root / "logind.out").string(), {{"DBUS_SYSTEM_BUS_ADDRESS", bus}});
    ASSERT_GT(logind, 0);
    auto locks = [&] { return readFile(root / "logind.out"); };
    for (int i = 0; i < 200 && locks().find("ready") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(locks(), "ready\n") << readFile(root / "bus.out");

    std::string max = installStub("max", "hang_until_end = yes\n");
    writeConfig("2016 " + max + "\n");
    nodeEnvironment["DBUS_SYSTEM_BUS_ADDRESS"] = bus;
    startNode();
    EXPECT_EQ(locks(), "ready\n");  // an idle node lets the machine sleep

    pid_t job = startMaster({"render", "--node", "127.0.0.1", "--version", "2016", "--frame", "1", "--scene",
                             scene.string(), "--out", out.string(), "--end-after-dumps", "3"},
                            root / "master.out");
    ASSERT_TRUE(waitForLog("3dsmax is online after "));
    EXPECT_EQ(locks(), "ready\ntake idle:sleep|Varnix DR node|block\n");
    EXPECT_EQ(finishMaster(job, 60), 0) << readFile(root / "master.out");
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    for (int i = 0; i < 200 && locks().find("release") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(locks(), "ready\ntake idle:sleep|Varnix DR node|block\nrelease idle:sleep\n");
    VarnixTest::killGroup(logind);
    VarnixTest::killGroup(daemon);
}

TEST_F(RenderJob, EndArrivingInTwoPiecesIsForwarded) {
    std::string max = installStub("max", "dumps = 1\ndump_interval_ms = 100\nhang_until_end = yes\n");
    writeConfig("2016 " + max + "\n");
    startNode();

    RawMaster m;
    ASSERT_TRUE(m.connect());
    ASSERT_TRUE(m.greet());
    ASSERT_TRUE(m.sendParameters("2016 3"));
    ASSERT_TRUE(m.sendScene(1000, 1000));
    std::string dump;
    ASSERT_TRUE(m.readDump(dump, 30));  // the relay loop runs
    // Half of END; the relay loop turns about three times a second and must
    // keep what came until the rest is in.
    ASSERT_TRUE(m.sendBytes(std::string("\x26\x48", 2)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    ASSERT_TRUE(m.sendBytes(std::string("\xC0\xC0", 2)));
    EXPECT_TRUE(m.waitForClose(30));
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    EXPECT_EQ(countPrefix(logLines(), "Got END signal from remote side, forwarding to 3dsmax"), 1);
    EXPECT_EQ(countLines(stubRecord("max"), "end_received"), 1) << stubRecord("max");
}

TEST_F(RenderJob, DumpsUnderOneReusedNameOrInABurstAllArriveAndEachHasItsThreeLines) {
    struct Case {
        const char* version;
        const char* behaviour;
        int dumps;
    };
    const Case cases[] = {
        // A renderer that reuses one dump name: each dump is written once the
        // node has relayed and removed the last.
        {"2014", "dumps = 40\ndump_interval_ms = 100\nreuse_dump_name = yes\n", 40},
        {"2015", "dumps = 40\ndump_interval_ms = 100\n", 40},
        // A renderer that writes many dumps faster than the relay turns.
        {"2016", "dumps = 12\ndump_interval_ms = 0\n", 12},
    };
    std::string config;
    for (const Case& c : cases) config += std::string(c.version) + " " + installStub(c.version, c.behaviour) + "\n";
    writeConfig(config + "2013 " + installStub("short", "dumps = 1\ndump_interval_ms = 0\n") + "\n");
    watchDumps();
    startNode();

    std::size_t written = 0;
    int jobs = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.behaviour);
        fs::remove_all(out);
        fs::create_directories(out);
        std::vector<std::string> before = logLines();
        ProcessResult job = render(c.version, "1", {"--end-after-dumps", std::to_string(c.dumps)});
        ASSERT_EQ(job.exitCode, 0) << job.output;
        ASSERT_TRUE(waitForLogCount("Ready for new connection", ++jobs));
        std::vector<std::string> received = contentsIn(out);
        std::vector<std::string> writtenNow = writtenDumps();
        writtenNow.erase(writtenNow.begin(), writtenNow.begin() + std::ptrdiff_t(written));
        written += writtenNow.size();
        std::sort(received.begin(), received.end());
        std::sort(writtenNow.begin(), writtenNow.end());
        EXPECT_EQ(received, writtenNow);
        EXPECT_EQ(received.size(), std::size_t(c.dumps));
        // Every dump's lines are in DrLog.txt, none folded into a count.
        std::vector<std::string> log = logLines();
        log.erase(log.begin(), log.begin() + std::ptrdiff_t(before.size()));
        for (const char* line : {"Started EXR dump (", "Finished EXR dump after ", "Removed file: "})
            EXPECT_EQ(countPrefix(log, line), c.dumps) << line;
        EXPECT_EQ(countPrefix(log, "last message repeated"), 0);
    }
    EXPECT_TRUE(dumpFilesIn(data).empty());

    // Short jobs back to back: every one ends with its own line.
    for (int i = 0; i < 25; ++i) ASSERT_EQ(render("2013", "1", {"--end-after-dumps", "1", "--overwrite"}).exitCode, 0);
    ASSERT_TRUE(waitForLogCount("Ready for new connection", jobs + 25));
    EXPECT_EQ(countPrefix(logLines(), "Ready for new connection"), jobs + 25);
}

TEST_F(RenderJob, SigintDuringARenderEndsTheNodeOnceTheJobIsDone) {
    // The renderer runs through the command interpreter; the node must still
    // take the signal (the C library's system() ignores it in the caller).
    std::string max = installStub("max", "dumps = 3\ndump_interval_ms = 1000\nend_linger_ms = 100\n");
    writeConfig("2014 " + max + "\n");
    startNode();
    ProcessResult job;
    std::thread master([&] { job = render("2014", "5", {"--end-after-dumps", "3"}, 120); });
    ASSERT_TRUE(waitForLog("3dsmax is online after ", 60)) << readFile(root / "node.out");
    bool ended = signalNode(SIGINT, 90);
    master.join();
    EXPECT_TRUE(ended) << "the node did not end cleanly after SIGINT: " << readFile(root / "node.out");
    // The running job was not cut: it ended as usual, then the node did.
    EXPECT_EQ(job.exitCode, 0) << job.output;
    std::vector<std::string> log = logLines();
    expectSequence(log, {"3dsmax is online after ", "Got END signal from remote side, forwarding to 3dsmax",
                         "Closed loopback connection\n\n", "Ready for new connection"});
}

// The first stop waits for a job whose renderer hangs, the second cuts it:
// the renderer's tree ends, the master sees a cut, the node stops cleanly.
TEST_F(RenderJob, ASecondStopCutsAHungJobAndLeavesNoRendererBehind) {
    std::string max = installStub("max", "dumps = 1\ndump_interval_ms = 0\nhang = ignore_end\n");
    writeConfig("2014 " + max + "\n");
    startNode();
    pid_t m = startMaster({"render", "--node", "127.0.0.1", "--version", "2014", "--frame", "5", "--scene",
                           scene.string(), "--out", out.string()},
                          root / "master.out");
    ASSERT_TRUE(waitForLog("Finished EXR dump", 60)) << readFile(root / "node.out");
    kill(nodePid, SIGTERM);
    ASSERT_TRUE(waitForLog("Waiting for the running job to end before stopping"));
    EXPECT_TRUE(nodeRunning());
    EXPECT_TRUE(signalNode(SIGTERM, 60)) << readFile(root / "node.out");
    EXPECT_EQ(finishMaster(m, 30), 8) << readFile(root / "master.out");
    std::vector<std::string> log = logLines();
    EXPECT_EQ(log.back(), "DR server stopped");
    EXPECT_EQ(std::count(log.begin(), log.end(), "Waiting for the running job to end before stopping"), 1);
    EXPECT_EQ(runProgram({"/usr/bin/pgrep", "-f", max}, root, 5).exitCode, 1) << "a renderer process is left";
}

// The node without a window (a headless server; the engine of the Windows
// service) needs no display and stops as the window does: the first signal
// waits for the job, which either ends by itself or is cut by the second.
TEST_F(RenderJob, HeadlessNodeNeedsNoDisplayAndItsFirstStopWaitsForTheJobTheSecondCutsIt) {
    display = ":9999";  // no X server there: the window's node could not start
    nodeOptions = {"--no-window"};
    struct {
        const char* behaviour;
        std::vector<int> signals;
        int masterStatus;
    } cases[] = {
        {"dumps = 3\ndump_interval_ms = 1000\nend_linger_ms = 100\n", {SIGHUP}, 0},
        {"dumps = 1\ndump_interval_ms = 0\nhang = ignore_end\n", {SIGTERM, SIGTERM}, 8},
        // The third in a row comes while the cut is under way: the master is
        // still told, and the log still ends as it should.
        {"dumps = 1\ndump_interval_ms = 0\nhang = ignore_end\n", {SIGTERM, SIGTERM, SIGTERM}, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.behaviour);
        std::string max = installStub("max", c.behaviour);
        writeConfig("2014 " + max + "\n");
        startNode();
        pid_t m = startMaster({"render", "--node", "127.0.0.1", "--version", "2014", "--frame", "5", "--scene",
                               scene.string(), "--out", out.string(), "--end-after-dumps", "3", "--overwrite"},
                              root / "master.out");
        ASSERT_TRUE(waitForLog("Finished EXR dump", 60)) << readFile(root / "master.out");
        kill(nodePid, c.signals[0]);
        ASSERT_TRUE(waitForLog("Waiting for the running job to end before stopping"));
        EXPECT_TRUE(nodeRunning());
        for (std::size_t i = 1; i < c.signals.size(); ++i) {
            kill(nodePid, c.signals[i]);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        bool ended = false;
        EXPECT_EQ(VarnixTest::waitFor(nodePid, 90, &ended), 0) << readFile(root / "node.out");
        ASSERT_TRUE(ended);
        nodePid = -1;
        EXPECT_EQ(finishMaster(m, 30), c.masterStatus) << readFile(root / "master.out");
        std::vector<std::string> log = logLines();
        EXPECT_EQ(log.back(), "DR server stopped");
        EXPECT_EQ(std::count(log.begin(), log.end(), "Mode: headless, no window"), 1);
        EXPECT_EQ(runProgram({"/usr/bin/pgrep", "-f", max}, root, 5).exitCode, 1) << "a renderer process is left";
        fs::remove(data / "DrLog.txt");
    }
}

// The end of the desktop session leaves no time to wait for the job: on
// Linux the X server goes away and the toolkit ends the process.
TEST_F(RenderJob, TheDisplayGoingAwayMidJobCutsItAndStopsTheNodeWithNoRendererLeft) {
    std::string max = installStub("max", "dumps = 1\ndump_interval_ms = 0\nhang = ignore_end\n");
    writeConfig("2014 " + max + "\n");
    fs::path number = root / "display";
    pid_t x = VarnixTest::spawn({"/bin/sh", "-c", "exec Xvfb -displayfd 3 -nolisten tcp 3>'" + number.string() + "'"},
                                root, root / "xvfb.out");
    ASSERT_GT(x, 0);
    struct Ender {
        pid_t pid;
        ~Ender() { kill(pid, SIGKILL), VarnixTest::waitFor(pid, 10); }
    } ender{x};
    for (int i = 0; i < 1000 && readFile(number).find('\n') == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    display = ":" + readFile(number).substr(0, readFile(number).find('\n'));
    ASSERT_NE(display, ":") << readFile(root / "xvfb.out");
    startNode();
    pid_t m = startMaster({"render", "--node", "127.0.0.1", "--version", "2014", "--frame", "5", "--scene",
                           scene.string(), "--out", out.string()},
                          root / "master.out");
    ASSERT_TRUE(waitForLog("Finished EXR dump", 60)) << readFile(root / "node.out");
    kill(x, SIGKILL);
    bool ended = false;
    VarnixTest::waitFor(nodePid, 60, &ended);
    ASSERT_TRUE(ended) << "the node outlived its display";
    nodePid = -1;
    EXPECT_EQ(finishMaster(m, 30), 8) << readFile(root / "master.out");  // told the job was cut
    std::vector<std::string> log = logLines();
    EXPECT_EQ(log.back(), "DR server stopped");
    expectSequence(log, {"Finished EXR dump", "Stopping now: the running job is cut short, its renderer ended (",
                         "The job was cut short by the stop; the master was told", "DR server stopped"});
    EXPECT_EQ(runProgram({"/usr/bin/pgrep", "-f", max}, root, 5).exitCode, 1) << "a renderer process is left";
}

TEST_F(RenderJob, APingADumpAndAnEndThatComeWhileADumpIsOnItsWayAreAllServed) {
    // Large dumps: while the master does not read, the node is held inside
    // the first transfer.
    std::string max = installStub("max", "dumps = 2\ndump_interval_ms = 0\ndump_size = 2048x2730\n"
                                         "end_wait_seconds = 60\nend_linger_ms = 0\n");
    writeConfig("2016 " + max + "\n");
    startNode();

    RawMaster m;
    ASSERT_TRUE(m.connect());
    ASSERT_TRUE(m.greet());
    ASSERT_TRUE(m.sendParameters("2016 1"));
    ASSERT_TRUE(m.sendScene(1000, 1000));
    ASSERT_TRUE(waitForLog("Started EXR dump (", 60));
    // The second dump is written while the first is on its way.
    auto start = std::chrono::steady_clock::now();
    while (stubRecord("max").find("dump2") == std::string::npos &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(60))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_NE(stubRecord("max").find("dump2"), std::string::npos) << stubRecord("max");

    ProcessResult found = master({"discover", "--numeric", "127.0.0.1"}, 30);
    EXPECT_EQ(found.exitCode, 0) << found.output;
    EXPECT_NE(found.output.find("127.0.0.1"), std::string::npos) << found.output;
    ASSERT_TRUE(m.sendEnd());

    std::string first, second;
    EXPECT_TRUE(m.readDump(first, 60));
    EXPECT_TRUE(m.readDump(second, 60));
    EXPECT_GT(first.size(), 1000000u);
    EXPECT_GT(second.size(), 1000000u);
    EXPECT_TRUE(m.waitForClose(60));
    ASSERT_TRUE(waitForLog("Ready for new connection", 30));
    std::vector<std::string> log = logLines();
    EXPECT_EQ(countPrefix(log, "Finished EXR dump after "), 2);
    EXPECT_EQ(countPrefix(log, "Replying to discovery ping from "), 1);
    EXPECT_EQ(countLines(stubRecord("max"), "end_received"), 1) << stubRecord("max");
}

TEST_F(RenderJob, DevelopmentModeNumbersCopiesAcrossJobsAndKeepsLeftovers) {
    // The copies live at fixed places; start from none.
    for (int n = 1; n <= 400; ++n) fs::remove("/tmp/dump" + std::to_string(n) + ".exr");
    setDevelopmentMode(true);
    // Dumps larger than the connection's buffers, so that a master leaving
    // in the middle of one cuts its transfer.
    std::string max = installStub("max", "dumps = 200\ndump_interval_ms = 100\ndump_size = 1024x2048\n");
    writeConfig("2015 " + max + "\n");
    watchDumps();
    startNode();

    // Job 1: the master leaves in the middle of the second dump while the
    // renderer goes on writing; what the node could not relay stays.
    RawMaster m;
    ASSERT_TRUE(m.connect());
    ASSERT_TRUE(m.greet());
    ASSERT_TRUE(m.sendParameters("2015 1"));
    ASSERT_TRUE(m.sendScene(5000, 5000));
    std::string first;
    ASSERT_TRUE(m.readDump(first, 30));
    ASSERT_EQ(m.readSignal(30), 0xC0C05827u);
    m.close();
    ASSERT_TRUE(waitForLog("Ready for new connection", 30));
    std::vector<std::string> left = dumpFilesIn(data);
    EXPECT_FALSE(left.empty());
    int relayedInJob1 = countPrefix(logLines(), "Finished EXR dump after ");
    ASSERT_GE(relayedInJob1, 1);
    EXPECT_EQ(readFile("/tmp/dump1.exr"), first);

    // Job 2 removes them before its renderer starts, and goes on numbering.
    installStub("max", "dumps = 2\ndump_interval_ms = 300\n");
    ProcessResult job = render("2015", "2", {"--end-after-dumps", "2"});
    ASSERT_EQ(job.exitCode, 0) << job.output;
    ASSERT_TRUE(waitForLogCount("Ready for new connection", 2));
    std::vector<std::string> log = logLines();
    auto running2 = std::find_if(log.rbegin(), log.rend(),
                                 [](const std::string& l) { return l.rfind("Running command:", 0) == 0; });
    auto online2 = std::find_if(log.rbegin(), log.rend(),
                                [](const std::string& l) { return l.rfind("3dsmax is online", 0) == 0; });
    for (const auto& name : left) {
        auto removed = std::find(log.begin(), log.end(), "Removed file: " + data.string() + "//" + name);
        ASSERT_NE(removed, log.end()) << name;
        EXPECT_GT(removed - log.begin(), log.rend() - running2 - 1) << name;
        EXPECT_LT(removed - log.begin(), log.rend() - online2 - 1) << name;
    }
    std::vector<std::string> received = contentsIn(out);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(readFile("/tmp/dump" + std::to_string(relayedInJob1 + 1) + ".exr"), received[0]);
    EXPECT_EQ(readFile("/tmp/dump" + std::to_string(relayedInJob1 + 2) + ".exr"), received[1]);
    EXPECT_FALSE(fs::exists("/tmp/dump" + std::to_string(relayedInJob1 + 3) + ".exr"));
    for (int n = 1; n <= 400; ++n) fs::remove("/tmp/dump" + std::to_string(n) + ".exr");
}

// /metrics as Prometheus reads it (prometheus_client's parser): off by
// default, served once the admin sets an address, counting a real job; the
// real node's status answer through drmaster status and /status.
TEST_F(RenderJob, MetricsAndStatusAreServedOnlyWhereTheAdminSaysAndCountTheJobs) {
    const auto readMetrics = [&] {
        return runProgram({VARNIX_SOURCE_DIR "/tests/support/read-metrics", "http://127.0.0.1:19670/metrics"}, root, 30,
                          true);
    };
    writeConfig("2014 " + installStub("max") + "\n");
    startNode();
    EXPECT_EQ(readMetrics().exitCode, 1);  // nothing listens

    signalNode(SIGTERM, 30);
    writeRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnix]\n\"statusHttpAddress\"=\"127.0.0.1:19670\"\n");
    startNode();
    ASSERT_TRUE(waitForLog("Status over HTTP on 127.0.0.1:19670 (/metrics, /status)"));
    ProcessResult idle = readMetrics();
    ASSERT_EQ(idle.exitCode, 0) << idle.output;
    for (const char* line :
         {"varnix_node_state{state=\"idle\"} 1", "varnix_node_state{state=\"rendering\"} 0",
          "varnix_jobs_total{outcome=\"served\"} 0", "varnix_node_info{version=\"", "varnix_uptime_seconds "})
        EXPECT_NE(idle.output.find(line), std::string::npos) << line << "\n" << idle.output;

    const auto ready = [&] {
        const auto lines = logLines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.find("Ready for new connection") != std::string::npos;
        }));
    };
    const int readyBefore = ready();
    EXPECT_EQ(render("2014", "3", {"--end-after-dumps", "2", "--expect-dumps", "2"}).exitCode, 0);
    ASSERT_TRUE(waitForLogCount("Ready for new connection", readyBefore + 1, 30));
    ProcessResult after = readMetrics();
    ASSERT_EQ(after.exitCode, 0) << after.output;
    for (const char* line : {"varnix_jobs_total{outcome=\"served\"} 1", "varnix_dumps_sent_total 2",
                             "varnix_renderer_exits_total{status=\"0\"} 1", "varnix_node_state{state=\"idle\"} 1",
                             "varnix_log_lines_lost_total 0"})
        EXPECT_NE(after.output.find(line), std::string::npos) << line << "\n" << after.output;

    // drmaster status asks the real node on UDP; /status gives the same answer's JSON.
    ProcessResult status = master({"status", "--json", "127.0.0.1"}, 30, true);
    ASSERT_EQ(status.exitCode, 0) << status.output << status.errors;
    ProcessResult http =
        runProgram({"/usr/bin/python3", "-c",
                    "import json, sys, urllib.request; d = json.load(urllib.request.urlopen("
                    "'http://127.0.0.1:19670/status')); print(d['state'], d['job'], "
                    "d['last_job']['outcome'], d['counts']['jobs_served'], d['counts']['dumps_sent'])"},
                   root, 30, true);
    EXPECT_EQ(http.output, "idle None served 1 2\n") << http.errors;
    for (const char* field : {"\"state\":\"idle\"", "\"job\":null", "\"outcome\":\"served\"", "\"jobs_served\":1",
                              "\"attention\":[]", "\"address\":\"127.0.0.1\""})
        EXPECT_NE(status.output.find(field), std::string::npos) << field << "\n" << status.output;
    ProcessResult table = master({"status", "127.0.0.1"}, 30, true);
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_NE(table.output.find("127.0.0.1  idle"), std::string::npos) << table.output;
}

}  // namespace
}  // namespace e2e
