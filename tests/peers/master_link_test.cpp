// drmaster against the test's own node side of the master link.
#include "FrameImage.h"
#include "ImageFiles.h"
#include "peers/PortsSupport.h"

using namespace PeerTest;

namespace {

class MasterLinkTest : public VarnixTest::TempDirectoryTest {
protected:
    void SetUp() override {
        VarnixTest::TempDirectoryTest::SetUp();
        scene = pathOf("my scene.max");
        for (int i = 0; i < 70000; ++i) sceneBytes.push_back(static_cast<char>(i * 7 + i / 256));
        writeFile(scene, sceneBytes);
        out = (directory / "out" / "frames").string();
        listener = std::make_unique<ListeningSocket>(IPv4Address::loopback(19668));
        ASSERT_TRUE(listener->IsOk());
        listener->SetTimeout(15);
    }

    std::string renderCommand(const std::string& extra = std::string(), int version = 2014) const {
        return shellQuote(binDir() + "/drmaster") + " render --node 127.0.0.1 --version " + std::to_string(version) +
               " --frame 12 --scene " + shellQuote(scene) + " --out " + shellQuote(out) + " " + extra;
    }

    void start(const std::string& extra = std::string(), int version = 2014) {
        master = std::make_unique<Child>(renderCommand(extra, version), pathOf("master"));
    }

    // Accepts the master, greets it, checks its greeting; returns the job parameters.
    std::string acceptJob(std::unique_ptr<StreamSocket>& link) {
        link = listener->Accept();
        EXPECT_TRUE(link) << "drmaster did not connect";
        if (!link) return std::string();
        EXPECT_TRUE(writeRaw(*link, nodeGreetingBytes));
        EXPECT_EQ(readRaw(*link, 4, 5), masterGreetingBytes);
        return readStringFrame(*link, 5);
    }

    void receiveScene(StreamSocket& link) {
        EXPECT_EQ(readRaw(link, 4, 5), le32(70000));
        EXPECT_TRUE(readRaw(link, 70000, 10) == sceneBytes) << "scene bytes differ";
    }

    std::vector<std::string> outFiles() const {
        std::vector<std::string> names;
        if (fs::exists(out))
            for (const auto& entry : fs::directory_iterator(out)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string scene, sceneBytes, out;
    std::unique_ptr<ListeningSocket> listener;
    std::unique_ptr<Child> master;
};

TEST_F(MasterLinkTest, AWholeJobSavesEveryDumpAndSendsEndAfterTheAskedDumps) {
    start("--end-after-dumps 2");
    std::unique_ptr<StreamSocket> link;
    EXPECT_EQ(acceptJob(link), "2014 12");
    ASSERT_TRUE(link);
    receiveScene(*link);

    std::string dump("\x76\x2f\x31\x01", 4);  // what every EXR file starts with
    for (int i = 4; i < 70001; ++i) dump.push_back(static_cast<char>(i % 251));
    ASSERT_TRUE(writeRaw(*link, fileDumpBytes + le32(9) + "GIF89a..."));
    ASSERT_TRUE(writeRaw(*link, fileDumpBytes + le32(70001) + dump.substr(0, 30000)));
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(master->finishedWithin(0ms));
    ASSERT_TRUE(writeRaw(*link, dump.substr(30000)));
    EXPECT_EQ(readRaw(*link, 4, 5), endBytes);
    link->Destroy();  // the node's close ends the job

    ASSERT_TRUE(master->finishedWithin(5s));
    EXPECT_EQ(master->status(), 0) << master->err();
    EXPECT_EQ(outFiles(), (std::vector<std::string>{"frame12_dump001.exr", "frame12_dump002.exr"}));
    EXPECT_EQ(readFile(out + "/frame12_dump001.exr"), "GIF89a...");
    EXPECT_TRUE(readFile(out + "/frame12_dump002.exr") == dump);
    EXPECT_NE(master->out().find("job finished, 2 dumps saved"), std::string::npos) << master->out();
    EXPECT_NE(master->out().find("(9 bytes, "), std::string::npos) << master->out();
    EXPECT_NE(master->out().find("(70,001 bytes, "), std::string::npos) << master->out();
    EXPECT_EQ(master->out().find('\r'), std::string::npos);  // no progress lines off a terminal
    // A dump of another kind is kept, with a warning that it is no EXR file.
    EXPECT_EQ(master->err(), "drmaster: warning: dump 1 (" + out +
                                 "/frame12_dump001.exr, 9 bytes) is not an EXR "
                                 "file: it does not start with the EXR magic number 76 2f 31 01; kept as it came\n");
}

TEST_F(MasterLinkTest, ABusyNodeIsWaitedForAndAnAbandonedDumpIsSkipped) {
    start();
    auto link = listener->Accept();
    ASSERT_TRUE(link);
    std::this_thread::sleep_for(4500ms);  // as if another job were still running
    ASSERT_TRUE(writeRaw(*link, nodeGreetingBytes));
    EXPECT_EQ(readRaw(*link, 4, 5), masterGreetingBytes);
    EXPECT_EQ(readStringFrame(*link, 5), "2014 12");
    receiveScene(*link);
    // A signal whose dump could not be sized, then the next try.
    ASSERT_TRUE(writeRaw(*link, fileDumpBytes + fileDumpBytes + le32(8) + "abcdefgh"));
    std::this_thread::sleep_for(200ms);
    link->Destroy();
    ASSERT_TRUE(master->finishedWithin(5s));
    EXPECT_EQ(master->status(), 0) << master->err();
    EXPECT_EQ(outFiles(), std::vector<std::string>{"frame12_dump001.exr"});
    EXPECT_EQ(readFile(out + "/frame12_dump001.exr"), "abcdefgh");
    EXPECT_NE(master->out().find("busy"), std::string::npos);
}

TEST_F(MasterLinkTest, EndAfterSecondsCountsFromTheSceneUpload) {
    start("--end-after-seconds 1");
    std::unique_ptr<StreamSocket> link;
    acceptJob(link);
    ASSERT_TRUE(link);
    receiveScene(*link);
    const auto sceneDone = Clock::now();
    EXPECT_EQ(readRaw(*link, 4, 30), endBytes);
    EXPECT_GT(Clock::now() - sceneDone, 700ms);
    EXPECT_LT(Clock::now() - sceneDone, 20000ms);  // counted from the upload, generous for a slow run
    EXPECT_EQ(readRaw(*link, 4, 1), "");           // END is sent once
    ASSERT_TRUE(writeRaw(*link, fileDumpBytes + le32(10) + "not an EXR"));
    link->Destroy();
    ASSERT_TRUE(master->finishedWithin(5s));
    EXPECT_EQ(master->status(), 0) << master->err();
}

TEST_F(MasterLinkTest, CtrlCSendsEndAndASecondCtrlCQuits) {
    // Background jobs of a script start with Ctrl-C ignored; drmaster catches it anyway.
    master = std::make_unique<Child>(renderCommand() + " & p=$!; sleep 2; kill -INT $p; wait $p", pathOf("master"));
    std::unique_ptr<StreamSocket> link;
    acceptJob(link);
    ASSERT_TRUE(link);
    receiveScene(*link);
    EXPECT_EQ(readRaw(*link, 4, 5), endBytes);
    ASSERT_TRUE(writeRaw(*link, fileDumpBytes + le32(10) + "not an EXR"));
    link->Destroy();
    ASSERT_TRUE(master->finishedWithin(5s));
    EXPECT_EQ(master->status(), 0) << master->err();
    master.reset();

    // The first job's dump stays; this one may replace it.
    master = std::make_unique<Child>(
        renderCommand("--overwrite") + " & p=$!; sleep 2; kill -INT $p; sleep 1; kill -INT $p; wait $p",
        pathOf("master2"));
    acceptJob(link);
    ASSERT_TRUE(link);
    receiveScene(*link);
    EXPECT_EQ(readRaw(*link, 4, 5), endBytes);
    ASSERT_TRUE(master->finishedWithin(5s));  // without the node closing
    EXPECT_EQ(master->status(), 130);
}

TEST_F(MasterLinkTest, ANodeThatClosesWithoutTheSceneIsNeverSuccessHoweverLateItCloses) {
    // The scene does not fit in the connection's buffers: the close comes
    // while it is being sent, which is how a refusal shows.
    std::string big(8 << 20, 'b');
    writeFile(scene, big);
    {
        SlowRefusingNode node(*listener, 1500ms);
        start("", 2016);
        ASSERT_TRUE(master->finishedWithin(30s));
        EXPECT_EQ(node.parametersRead(), "2016 12");
    }
    EXPECT_EQ(master->status(), 7) << master->err();
    const std::string err = master->err();
    EXPECT_NE(err.find("no 3ds Max from 2016 to 2016 is configured there"), std::string::npos) << err;
    EXPECT_NE(err.find("see drData/DrLog.txt on 127.0.0.1"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;

    // A small scene waits whole in the node's buffer, so the node's close
    // cannot be told from a job that ended without an image; it is that failure.
    writeFile(scene, sceneBytes.substr(0, 1000));
    {
        SlowRefusingNode node(*listener, 1500ms);
        start("--json", 2016);
        ASSERT_TRUE(master->finishedWithin(30s));
    }
    EXPECT_EQ(master->status(), 11) << master->err();
    EXPECT_EQ(master->err(), "drmaster: error: the node ended the job without sending an image: version refused, "
                             "3ds Max did not answer or failed, or the scene was rejected; see drData/DrLog.txt on "
                             "127.0.0.1\n");
    const std::string report = master->out();
    EXPECT_NE(report.find("\"dumps\": [], \"end_sent\": false, \"outcome\": \"no-image\", \"status\": 11"),
              std::string::npos)
        << report;
    EXPECT_TRUE(outFiles().empty());
}

TEST_F(MasterLinkTest, PeersThatAreNoNodes) {
    start();
    auto link = listener->Accept();
    ASSERT_TRUE(link);
    ASSERT_TRUE(writeRaw(*link, "HTTP/1.1 400\r\n"));
    ASSERT_TRUE(master->finishedWithin(5s));
    EXPECT_EQ(master->status(), 6);
    link.reset();

    start();
    link = listener->Accept();
    ASSERT_TRUE(link);
    link->Destroy();
    ASSERT_TRUE(master->finishedWithin(5s));
    EXPECT_EQ(master->status(), 6);

    start("--wait 1");
    link = listener->Accept();
    ASSERT_TRUE(link);
    ASSERT_TRUE(master->finishedWithin(5s));
    EXPECT_EQ(master->status(), 5);
    EXPECT_NE(master->err().find("busy"), std::string::npos);
}

TEST_F(MasterLinkTest, ACutDumpLeavesNoFileAndADumpOfNegativeSizeIsRefused) {
    start("--json");
    std::unique_ptr<StreamSocket> link;
    acceptJob(link);
    ASSERT_TRUE(link);
    receiveScene(*link);
    ASSERT_TRUE(writeRaw(*link, fileDumpBytes + le32(1000) + std::string(10, 'x')));
    std::this_thread::sleep_for(200ms);
    link->Destroy();
    ASSERT_TRUE(master->finishedWithin(5s));
    EXPECT_EQ(master->status(), 8);
    EXPECT_NE(master->err().find("cut after 10 of 1,000 bytes"), std::string::npos) << master->err();
    EXPECT_NE(master->err().find("the partial file was removed"), std::string::npos) << master->err();
    EXPECT_TRUE(outFiles().empty());
    EXPECT_NE(master->out().find("\"dumps\": [], \"end_sent\": false, \"outcome\": \"transfer-cut\", \"status\": 8"),
              std::string::npos)
        << master->out();

    start();
    acceptJob(link);
    ASSERT_TRUE(link);
    receiveScene(*link);
    ASSERT_TRUE(writeRaw(*link, fileDumpBytes + le32(static_cast<uint32_t>(-5))));
    ASSERT_TRUE(master->finishedWithin(5s));
    EXPECT_EQ(master->status(), 6);

    // A frame that came whole but carries an EXR cut short on the node's
    // disk, or a file too short for any EXR: a whole dump comes first and is
    // kept, the cut one is not.
    const std::string exr = Varnix::Peer::encodeExr(Varnix::Peer::makeFrameImage(128, 64, 12, 1.0));
    const struct {
        std::string dump, said;
    } cuts[] = {
        {exr.substr(0, 40000), "(40,000 bytes) is not a whole EXR file: it lacks 39 of its 64 chunks of pixel data"},
        {"", "(0 bytes) is not a whole EXR file: it lacks the 8 bytes every EXR file begins with"},
        {exr.substr(0, 5), "(5 bytes) is not a whole EXR file: it lacks the 8 bytes every EXR file begins with"},
    };
    for (const auto& cut : cuts) {
        std::filesystem::remove_all(out);
        std::filesystem::create_directories(out);
        start();
        acceptJob(link);
        ASSERT_TRUE(link);
        receiveScene(*link);
        ASSERT_TRUE(writeRaw(*link, fileDumpBytes + le32(uint32_t(exr.size())) + exr));
        ASSERT_TRUE(writeRaw(*link, fileDumpBytes + le32(uint32_t(cut.dump.size())) + cut.dump));
        ASSERT_TRUE(master->finishedWithin(10s));
        EXPECT_EQ(master->status(), 14) << master->err();
        EXPECT_NE(master->err().find("dump 2 from 127.0.0.1 (127.0.0.1:19668) " + cut.said + "; the file was removed"),
                  std::string::npos)
            << master->err();
        EXPECT_EQ(outFiles(), std::vector<std::string>{"frame12_dump001.exr"});
    }
}

TEST_F(MasterLinkTest, FailuresBeforeTheJobHaveTheirOwnExitStatus) {
    listener.reset();  // nothing listens: unreachable
    start();
    ASSERT_TRUE(master->finishedWithin(15s));
    EXPECT_EQ(master->status(), 4);

    master = std::make_unique<Child>(shellQuote(binDir() + "/drmaster") +
                                         " render --node no-such-node.invalid --version 2014 --frame 1 --scene " +
                                         shellQuote(scene) + " --out " + shellQuote(out),
                                     pathOf("unknown"));
    ASSERT_TRUE(master->finishedWithin(30s));
    EXPECT_EQ(master->status(), 3);

    scene = pathOf("missing.max");
    start();
    ASSERT_TRUE(master->finishedWithin(5s));
    EXPECT_EQ(master->status(), 9);

    scene = pathOf("my scene.max");
    out = scene;  // a file, not a directory
    start();
    ASSERT_TRUE(master->finishedWithin(5s));
    EXPECT_EQ(master->status(), 9);
    if (fs::is_directory("/proc/1")) {
        out = "/proc/1";  // a directory where nobody, not even root, may create a file
        start();
        ASSERT_TRUE(master->finishedWithin(5s));
        EXPECT_EQ(master->status(), 9);
        EXPECT_NE(master->err().find("cannot write into the output directory '/proc/1'"), std::string::npos)
            << master->err();
    }

    master = std::make_unique<Child>(shellQuote(binDir() + "/drmaster") + " render --node x", pathOf("usage"));
    ASSERT_TRUE(master->finishedWithin(5s));
    EXPECT_EQ(master->status(), 2);
    EXPECT_NE(master->err().find("missing option --version"), std::string::npos);

    master = std::make_unique<Child>(shellQuote(binDir() + "/drmaster") + " --help", pathOf("help"));
    ASSERT_TRUE(master->finishedWithin(5s));
    EXPECT_EQ(master->status(), 0);
    EXPECT_NE(master->out().find("exit status"), std::string::npos);
    const std::string help = master->out();
    for (const char* ask : {" -h", " /?", " render --node x -h"}) {
        master = std::make_unique<Child>(shellQuote(binDir() + "/drmaster") + ask, pathOf("help2"));
        ASSERT_TRUE(master->finishedWithin(5s));
        EXPECT_EQ(master->status(), 0) << ask;
        EXPECT_EQ(master->out(), help) << ask;
    }

    // Alone, --version is drmaster's own; after "render" it is the 3ds Max release.
    master = std::make_unique<Child>(shellQuote(binDir() + "/drmaster") + " --version", pathOf("version"));
    ASSERT_TRUE(master->finishedWithin(5s));
    EXPECT_EQ(master->status(), 0);
    EXPECT_EQ(master->out().rfind("drmaster ", 0), 0u) << master->out();
    EXPECT_NE(master->out().find_first_of("0123456789"), std::string::npos) << master->out();
    start("", 2010);
    ASSERT_TRUE(master->finishedWithin(5s));
    EXPECT_EQ(master->status(), 2);
    EXPECT_NE(master->err().find("from 2011 to 2030, not '2010'"), std::string::npos) << master->err();
}

TEST_F(MasterLinkTest, TheReadmeShowsTheHelpAsItIs) {
    master = std::make_unique<Child>(shellQuote(binDir() + "/drmaster") + " --help", pathOf("help"));
    ASSERT_TRUE(master->finishedWithin(5s));
    const std::string readme = readFile(std::string(VARNIX_SOURCE_DIR) + "/README.md");
    const std::string intro = "`drmaster --help`:\n\n```\n";
    const size_t start = readme.find(intro);
    ASSERT_NE(start, std::string::npos) << "README.md has no drmaster --help block";
    const size_t end = readme.find("```\n", start + intro.size());
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(readme.substr(start + intro.size(), end - start - intro.size()), master->out());
}

}  // namespace
