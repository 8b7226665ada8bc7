// drmaster's exit status and report against the real node and the stand-in:
// one status for every outcome of a job, decided from what came back.
#include "NodeHarness.h"

#include <signal.h>

#include <algorithm>

namespace e2e {
namespace {

const std::string noImage =
    "drmaster: error: the node ended the job without sending an image: version refused, 3ds Max did not answer or "
    "failed, or the scene was rejected; see drData/DrLog.txt on 127.0.0.1\n";

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

int countIn(const std::vector<std::string>& lines, const std::string& prefix) {
    return int(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// The error lines of drmaster's output (each starts with "drmaster: error: ").
std::vector<std::string> errorLines(const std::string& output) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while ((at = output.find("drmaster: error: ", at)) != std::string::npos) {
        std::size_t end = output.find('\n', at);
        lines.push_back(output.substr(at, end - at + 1));
        at = end;
    }
    return lines;
}

using MasterOutcome = NodeTest;

TEST_F(MasterOutcome, AJobWithItsDumpsSucceedsAndItsJsonListsEachDump) {
    writeConfig("2014 " + installStub("max", "dumps = 3\ndump_interval_ms = 100\nend_wait_seconds = 0\n") + "\n");
    watchDumps();
    startNode();
    ProcessResult job = master({"render", "--node", "127.0.0.1", "--version", "2014", "--frame", "4", "--scene",
                                scene.string(), "--out", out.string(), "--expect-dumps", "3", "--json"},
                               60, true);
    ASSERT_EQ(job.exitCode, 0) << job.output << job.errors;
    EXPECT_EQ(job.errors, "");
    // One JSON document, alone on standard output.
    ASSERT_FALSE(job.output.empty());
    EXPECT_EQ(job.output.front(), '{') << job.output;
    EXPECT_EQ(std::count(job.output.begin(), job.output.end(), '\n'), 1) << job.output;
    EXPECT_NE(job.output.find("\"outcome\": \"ok\", \"status\": 0"), std::string::npos) << job.output;
    // Every dump the renderer wrote came (in the node's order), and the
    // report names each file with its size.
    std::vector<std::string> written = writtenDumps(), received;
    ASSERT_EQ(written.size(), 3u);
    for (int k = 1; k <= 3; ++k) {
        fs::path path = out / ("frame4_dump00" + std::to_string(k) + ".exr");
        received.push_back(readFile(path));
        std::string entry = "{\"index\": " + std::to_string(k) + ", \"path\": \"" + path.string() +
                            "\", \"size\": " + std::to_string(received.back().size()) + ", \"seconds\": ";
        EXPECT_NE(job.output.find(entry), std::string::npos) << entry << "\n" << job.output;
    }
    std::sort(written.begin(), written.end());
    std::sort(received.begin(), received.end());
    EXPECT_TRUE(written == received);
    EXPECT_EQ(std::count(job.output.begin(), job.output.end(), '{'), 5) << job.output;  // report, scene, 3 dumps
    EXPECT_NE(job.output.find("\"exr\": true}"), std::string::npos);
    EXPECT_EQ(job.output.find("\"exr\": false"), std::string::npos);
    ASSERT_TRUE(waitForLog("Ready for new connection"));

    // A second job of the same frame into the same folder would replace them:
    // refused before connecting, unless asked for.
    ProcessResult again = render("2014", "4", {"--expect-dumps", "3"});
    EXPECT_EQ(again.exitCode, 9) << again.output;
    EXPECT_NE(again.output.find("already holds 3 dumps of frame 4"), std::string::npos) << again.output;
    EXPECT_NE(again.output.find("--overwrite"), std::string::npos) << again.output;
    EXPECT_EQ(namesIn(out).size(), 3u);
    installStub("max", "dumps = 2\ndump_interval_ms = 100\nend_wait_seconds = 0\n");
    ProcessResult replaced = render("2014", "4", {"--overwrite"});
    EXPECT_EQ(replaced.exitCode, 0) << replaced.output;
    EXPECT_EQ(namesIn(out), (std::vector<std::string>{"frame4_dump001.exr", "frame4_dump002.exr"}));
    std::vector<std::string> now = writtenDumps();
    ASSERT_EQ(now.size(), 5u);
    EXPECT_TRUE(readFile(out / "frame4_dump002.exr") == now[3] || readFile(out / "frame4_dump002.exr") == now[4]);
    EXPECT_NE(replaced.output.find("removed 3 earlier dumps of frame 4"), std::string::npos) << replaced.output;
    // Another frame goes beside them.
    ProcessResult other = render("2014", "5");
    EXPECT_EQ(other.exitCode, 0) << other.output;
    EXPECT_EQ(namesIn(out).size(), 4u);
    ASSERT_TRUE(waitForLogCount("Ready for new connection", 3));
    EXPECT_EQ(countIn(logLines(), "Accepted remote connection from "), 3);
}

TEST_F(MasterOutcome, ARefusedVersionIsNeverSuccess) {
    writeConfig("2014 " + installStub("max") + "\n");
    startNode();
    // A scene too big to wait in the buffers: the node closes while it is
    // being sent, which shows the refusal for what it is.
    scene = makeScene("big.max", 16 << 20);
    ProcessResult big = render("2015", "1");
    EXPECT_EQ(big.exitCode, 7) << big.output;
    ASSERT_EQ(errorLines(big.output).size(), 1u) << big.output;
    EXPECT_NE(big.output.find("no 3ds Max from 2015 to 2016 is configured there"), std::string::npos) << big.output;
    EXPECT_NE(big.output.find("see drData/DrLog.txt on 127.0.0.1"), std::string::npos);
    ASSERT_TRUE(waitForLog("Ready for new connection"));
    EXPECT_EQ(countIn(logLines(), "Unsupported 3dsmax version: 2015"), 1);

    // A small one may already be in the node's buffers when it closes; then
    // the close cannot be told from a job without an image, and drmaster
    // says that it may be either.
    scene = makeScene("small.max", 1000);
    ProcessResult small = render("2015", "1");
    EXPECT_TRUE(small.exitCode == 7 || small.exitCode == 11) << small.output;
    ASSERT_EQ(errorLines(small.output).size(), 1u) << small.output;
    EXPECT_NE(small.output.find("refused"), std::string::npos) << small.output;
    EXPECT_TRUE(namesIn(out).empty());
}

TEST_F(MasterOutcome, JobsThatEndWithoutAnImageFail) {
    // 2015 names a folder without a 3dsmaxcmd.exe: the renderer never runs.
    std::string dir = installStub("max", "dumps = 0\nend_wait_seconds = 0\n");
    writeConfig("2014 " + dir + "\n2015 " + dir + "no-such-folder/\n2016 " +
                installStub("crash", "crash_after_dumps = 0\n") + "\n");
    startNode();
    int jobs = 0;
    for (const char* version : {"2014", "2015", "2016"}) {
        ProcessResult job = render(version, "2");
        EXPECT_EQ(job.exitCode, 11) << version << "\n" << job.output;
        EXPECT_EQ(errorLines(job.output), std::vector<std::string>{noImage}) << job.output;
        EXPECT_NE(job.output.find("job finished, 0 dumps saved"), std::string::npos) << job.output;
        ASSERT_TRUE(waitForLogCount("Ready for new connection", ++jobs)) << version;
    }
    std::vector<std::string> log = logLines();
    EXPECT_EQ(countIn(log, "Got no response from 3dsmax, aborting"), 1);  // 2015: nothing ran
    EXPECT_NE(stubRecord("crash").find("crash"), std::string::npos);
    EXPECT_TRUE(namesIn(out).empty());
}

TEST_F(MasterOutcome, ARendererCrashingMidJobMissesTheExpectedDumps) {
    writeConfig("2014 " + installStub("max", "dumps = 5\ndump_interval_ms = 200\ncrash_after_dumps = 2\n") + "\n");
    startNode();
    ProcessResult job = render("2014", "3", {"--expect-dumps", "5"});
    EXPECT_EQ(job.exitCode, 12) << job.output;
    ASSERT_EQ(errorLines(job.output).size(), 1u) << job.output;
    EXPECT_NE(job.output.find("the node sent 2 dumps, not the 5 that --expect-dumps asked for"), std::string::npos)
        << job.output;
    // What did come is kept.
    EXPECT_EQ(namesIn(out), (std::vector<std::string>{"frame3_dump001.exr", "frame3_dump002.exr"}));
}

TEST_F(MasterOutcome, ADumpCutShortOnTheNodeIsNeverKept) {
    // A dump far larger than the connection's buffers.
    writeConfig(
        "2014 " +
        installStub("max", "dumps = 1\ndump_interval_ms = 5000\ndump_size = 2048x2048\nend_wait_seconds = 0\n") + "\n");
    startNode();
    pid_t job = startMaster({"render", "--node", "127.0.0.1", "--version", "2014", "--frame", "6", "--scene",
                             scene.string(), "--out", out.string()},
                            root / "master.out");
    ASSERT_GT(job, 0);
    // drmaster stops reading before the dump comes, so the node's send of
    // it waits in the middle; meanwhile the renderer's file shrinks.
    ASSERT_TRUE(waitForLog("3dsmax is online after "));
    kill(job, SIGSTOP);
    ASSERT_TRUE(waitForLog("Started EXR dump (", 30));
    std::vector<fs::path> dumps;
    for (const auto& entry : fs::directory_iterator(data))
        if (entry.path().filename().string().rfind("dump", 0) == 0) dumps.push_back(entry.path());
    ASSERT_EQ(dumps.size(), 1u);
    fs::resize_file(dumps[0], 1000);
    kill(job, SIGCONT);
    EXPECT_EQ(finishMaster(job, 60), 8);
    std::string output = readFile(root / "master.out");
    EXPECT_EQ(errorLines(output).size(), 1u) << output;
    EXPECT_NE(output.find("dump 1 from 127.0.0.1 (127.0.0.1:19668) cut after "), std::string::npos) << output;
    EXPECT_NE(output.find("the partial file was removed"), std::string::npos) << output;
    EXPECT_EQ(output.find("saved"), std::string::npos) << output;
    EXPECT_TRUE(namesIn(out).empty());
    ASSERT_TRUE(waitForLog("Ready for new connection", 30));
    EXPECT_EQ(
        countIn(logLines(), "Closing master connection: a dump was cut short (the file shrank while it was read)"), 1);
}

// A renderer writing its dumps in place on a full disk leaves files that
// end before their EXR data does: none of them reaches the master as a
// whole dump, the log names each, and the job is reported failed.
TEST_F(MasterOutcome, DumpsCutShortOnTheRenderersDiskNeverReachTheMasterAsWholeOnes) {
    writeConfig("2014 " +
                installStub("max", "dumps = 3\ndump_interval_ms = 100\ndump_write = in_place\ndump_cut_at = 2000\n"
                                   "end_wait_seconds = 0\n") +
                "\n");
    startNode();
    ProcessResult job = render("2014", "7", {}, 120);
    EXPECT_NE(job.exitCode, 0) << job.output;
    EXPECT_TRUE(namesIn(out).empty()) << job.output;
    ASSERT_TRUE(waitForLog("Ready for new connection", 30));
    std::vector<std::string> log = logLines();
    EXPECT_EQ(countIn(log, "Started EXR dump ("), 0);
    for (int k = 1; k <= 3; ++k)
        EXPECT_EQ(countIn(log, "Dump cut short, not sent: " + data.string() + "//dump" + std::to_string(k) +
                                   ".exr (2,000 bytes; it lacks 64 of its 64 chunks of pixel data)"),
                  1)
            << k;
    EXPECT_EQ(countIn(log, "3dsmax exited with status 6"), 1);
    EXPECT_EQ(countIn(log, "The job failed: 3 dumps were cut short on this machine and not sent"), 1);
}

TEST_F(MasterOutcome, NoNodeMeansUnreachableAndNoAnswer) {
    // Nothing listens on this machine's node ports.
    ProcessResult job = render("2014", "1");
    EXPECT_EQ(job.exitCode, 4) << job.output;
    EXPECT_EQ(errorLines(job.output).size(), 1u) << job.output;
    EXPECT_NE(job.output.find("unreachable"), std::string::npos) << job.output;
    ProcessResult found = master({"discover", "--numeric", "--wait", "0.5", "127.0.0.1"}, 30);
    EXPECT_EQ(found.exitCode, 10) << found.output;
    EXPECT_NE(found.output.find("no answer from 127.0.0.1"), std::string::npos) << found.output;
}

TEST_F(MasterOutcome, BadArgumentsAreRefusedBeforeConnecting) {
    writeConfig("2014 " + installStub("max") + "\n");
    startNode();
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{"--expect-dumps", "0"}, std::vector<std::string>{"--colour", "red"}}) {
        ProcessResult job = render("2014", "1", extra);
        EXPECT_EQ(job.exitCode, 2) << job.output;
    }
    for (const char* version : {"2010", "2031", "MAX"}) {
        ProcessResult job = render(version, "1");
        EXPECT_EQ(job.exitCode, 2) << job.output;
        EXPECT_NE(job.output.find("from 2011 to 2030"), std::string::npos) << job.output;
    }
    ProcessResult json = master({"render", "--node", "127.0.0.1", "--json"}, 10, true);
    EXPECT_EQ(json.exitCode, 2);
    EXPECT_NE(json.output.find("\"outcome\": \"usage\", \"status\": 2"), std::string::npos) << json.output;
    // The node saw none of them (its log is written in order).
    ProcessResult found = master({"discover", "--numeric", "127.0.0.1"}, 30);
    EXPECT_EQ(found.exitCode, 0) << found.output;
    ASSERT_TRUE(waitForLog("Replying to discovery ping from "));
    EXPECT_EQ(countIn(logLines(), "Accepted remote connection from "), 0);
}

}  // namespace
}  // namespace e2e
