// The 3ds Max stand-in against the test's own node side of the loopback link.
#include <set>

#include "peers/PortsSupport.h"

using namespace PeerTest;

namespace {

class StubLinkTest : public VarnixTest::TempDirectoryTest {
protected:
    void SetUp() override {
        VarnixTest::TempDirectoryTest::SetUp();
        install = (directory / "Autodesk 3ds Max 2014").string() + "/";
        data = (directory / "node" / "drData").string() + "/";
        fs::create_directories(install);
        fs::create_directories(data);
        fs::copy_file(binDir() + "/maxstub/3dsmaxcmd.exe", install + "3dsmaxcmd.exe");
        writeFile(data + "/received_scene.max", std::string(1000, 's'));
        listener = std::make_unique<ListeningSocket>(IPv4Address::loopback(19667));
        ASSERT_TRUE(listener->IsOk());
        listener->SetTimeout(20);
    }

    void behaviour(const std::string& text) { writeFile(install + "maxstub-behaviour.txt", text); }

    // Starts the stand-in with the command line a node builds for frame 12.
    void start() {
        const std::string command = "echo Starting 3dsmax DR... && \"" + install + "3dsmaxcmd.exe\" \"" + data +
                                    "/received_scene.max\" -o:\"" + data + "/dr_out.png\" -start:12 -end:12" +
                                    " -continueOnError -gammaCorrection:1 -rfw:1 -sf  >> \"" + data + "/MaxLog.txt\"";
        stub = std::make_unique<Child>(command, pathOf("stub"));
    }

    // Accepts the stand-in and plays the node's greeting; returns the link.
    std::unique_ptr<StreamSocket> acceptAndGreet() {
        auto link = listener->Accept();
        EXPECT_TRUE(link) << "the stand-in did not connect";
        if (!link) return link;
        EXPECT_TRUE(writeRaw(*link, nodeGreetingBytes));
        EXPECT_EQ(readRaw(*link, 4, 5), hostGreetingBytes);
        EXPECT_TRUE(writeRaw(*link, data + std::string(1, '\0')));
        return link;
    }

    // Waits for the next dump*.exr in the data directory, checks it is a
    // complete EXR at once, deletes it as the node does. Empty on time-out.
    std::string takeDump(std::chrono::milliseconds limit) {
        const auto giveUp = Clock::now() + limit;
        while (Clock::now() < giveUp) {
            for (const auto& entry : fs::directory_iterator(data)) {
                const std::string name = entry.path().filename().string();
                if (name.rfind("dump", 0) != 0 || name.size() < 4 || name.substr(name.size() - 4) != ".exr") continue;
                ExrPicture picture;
                EXPECT_TRUE(readExr(entry.path().string(), picture)) << name;
                EXPECT_GT(brightPixels(picture), 0) << name;
                lastDumpWidth = picture.width;
                fs::remove(entry.path());
                return name;
            }
            std::this_thread::sleep_for(5ms);
        }
        return std::string();
    }

    StubRecord record() { return StubRecord::lastRun(install + "maxstub-record.txt"); }

    std::string install, data;
    std::unique_ptr<ListeningSocket> listener;
    std::unique_ptr<Child> stub;
    int lastDumpWidth = 0;
};

TEST_F(StubLinkTest, DefaultRunWritesThreeDumpsAboutHalfASecondApartAndClosesSoonAfterEnd) {
    start();
    auto link = acceptAndGreet();
    ASSERT_TRUE(link);

    std::vector<Clock::time_point> seen;
    std::set<std::string> names;
    for (int i = 0; i < 3; ++i) {
        const std::string name = takeDump(10s);
        ASSERT_FALSE(name.empty()) << "dump " << i + 1 << " missing";
        names.insert(name);
        seen.push_back(Clock::now());
    }
    EXPECT_EQ(names.size(), 3u);
    EXPECT_EQ(lastDumpWidth, 128);
    for (int i = 1; i < 3; ++i) {
        const auto gap = seen[i] - seen[i - 1];
        EXPECT_GT(gap, 250ms);  // paced, not a burst
    }
    // Done dumping, it waits for END with the link open.
    EXPECT_TRUE(takeDump(800ms).empty());
    EXPECT_FALSE(link->IsClosed());
    EXPECT_FALSE(stub->finishedWithin(0ms));

    ASSERT_TRUE(writeRaw(*link, endBytes));
    const auto endSent = Clock::now();
    // About half a second of lingering for a second END, not the 60 s wait
    // for the first one; generous for a slow run.
    EXPECT_TRUE(closesWithin(*link, 30s));
    EXPECT_LT(Clock::now() - endSent, 20000ms);
    ASSERT_TRUE(stub->finishedWithin(5s));
    EXPECT_EQ(stub->status(), 0);

    const StubRecord r = record();
    EXPECT_EQ(r.value("data_directory"), data);
    EXPECT_EQ(r.count("argument"), 8);
    EXPECT_EQ(r.lines[1], "argument: " + data + "/received_scene.max");
    EXPECT_TRUE(std::find(r.lines.begin(), r.lines.end(), "argument: -start:12") != r.lines.end());
    EXPECT_EQ(r.value("scene_size"), "1000");
    EXPECT_EQ(r.count("dump"), 3);
    EXPECT_EQ(r.count("end_received"), 1);
    EXPECT_EQ(r.value("output"), data + "/dr_out.png");
    EXPECT_EQ(r.value("exit"), "0");
    EXPECT_EQ(readFile(data + "/dr_out.png").substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    const std::string log = readFile(data + "/MaxLog.txt");
    EXPECT_NE(log.find("Rendering frame 12"), std::string::npos);
    EXPECT_NE(log.find("Render finished"), std::string::npos);
}

TEST_F(StubLinkTest, ADumpIsNeverVisibleHalfWritten) {
    behaviour("dumps = 25\ndump_interval_ms = 0\ndump_size = 256x256\n");
    start();
    auto link = acceptAndGreet();
    ASSERT_TRUE(link);
    for (int i = 0; i < 25; ++i) ASSERT_FALSE(takeDump(10s).empty()) << "dump " << i + 1;
    EXPECT_EQ(lastDumpWidth, 256);
    for (const auto& entry : fs::directory_iterator(data))  // no partial files left behind
        EXPECT_TRUE(entry.path().extension() == ".max" || entry.path().extension() == ".txt") << entry.path();
    ASSERT_TRUE(writeRaw(*link, endBytes));
    ASSERT_TRUE(stub->finishedWithin(5s));
    EXPECT_EQ(stub->status(), 0);
}

TEST_F(StubLinkTest, ItChattersAfterItsGreetingAndReusesOneDumpNameWhenAsked) {
    // (Renamed into place: a dump written in place may be read half written.)
    behaviour("dumps = 3\ndump_interval_ms = 0\nbytes_after_greeting = 30\nreuse_dump_name = yes\n");
    start();
    auto link = acceptAndGreet();
    ASSERT_TRUE(link);
    EXPECT_EQ(readRaw(*link, 30, 5), "abcdefghijklmnopqrstuvwxyzabcd");
    // Each dump waits until the last one under the name has been taken.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(takeDump(10s), "dump1.exr") << "dump " << i + 1;
    ASSERT_TRUE(writeRaw(*link, endBytes));
    ASSERT_TRUE(stub->finishedWithin(5s));
    EXPECT_EQ(stub->status(), 0);
    const StubRecord r = record();
    EXPECT_EQ(r.value("bytes_sent_after_greeting"), "30");
    EXPECT_EQ(r.count("dump"), 3);
    for (const auto& line : r.lines) {
        if (line.rfind("dump: ", 0) == 0) {
            EXPECT_EQ(line, "dump: " + data + "dump1.exr");
        }
    }
}

TEST_F(StubLinkTest, EndDuringTheDumpsStopsTheRender) {
    behaviour("dumps = 1000\ndump_interval_ms = 50\n");
    start();
    auto link = acceptAndGreet();
    ASSERT_TRUE(link);
    ASSERT_FALSE(takeDump(10s).empty());
    ASSERT_TRUE(writeRaw(*link, endBytes));
    const auto endSent = Clock::now();
    EXPECT_TRUE(closesWithin(*link, 30s));
    EXPECT_LT(Clock::now() - endSent, 20000ms);  // the rest of the 1,000 dumps are not waited for
    ASSERT_TRUE(stub->finishedWithin(5s));
    EXPECT_EQ(stub->status(), 0);
    const StubRecord r = record();
    EXPECT_EQ(r.count("end_received"), 1);
    EXPECT_LT(r.count("dump"), 100);
    EXPECT_TRUE(r.has("output"));
}

TEST_F(StubLinkTest, EverySecondEndIsRecordedToo) {
    behaviour("dumps = 0\nend_linger_ms = 1500\n");
    start();
    auto link = acceptAndGreet();
    ASSERT_TRUE(link);
    ASSERT_TRUE(writeRaw(*link, endBytes));
    std::this_thread::sleep_for(333ms);  // the node forwards one END per turn of its relay loop
    ASSERT_TRUE(writeRaw(*link, endBytes.substr(0, 2)));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(writeRaw(*link, endBytes.substr(2)));  // a signal may arrive in pieces
    EXPECT_TRUE(closesWithin(*link, 5s));
    ASSERT_TRUE(stub->finishedWithin(5s));
    EXPECT_EQ(record().count("end_received"), 2);
}

TEST_F(StubLinkTest, TheNodeClosingTheLinkEndsTheRender) {
    behaviour("dumps = 0\n");
    start();
    auto link = acceptAndGreet();
    ASSERT_TRUE(link);
    std::this_thread::sleep_for(200ms);
    link->Destroy();
    ASSERT_TRUE(stub->finishedWithin(3s));
    EXPECT_EQ(stub->status(), 0);
    const StubRecord r = record();
    EXPECT_TRUE(r.has("link_closed_by_node"));
    EXPECT_EQ(r.count("end_received"), 0);
    EXPECT_TRUE(r.has("output"));
}

TEST_F(StubLinkTest, WithoutEndItGivesUpAfterTheWaitUnlessToldToHang) {
    behaviour("dumps = 0\nend_wait_seconds = 1\n");
    start();
    auto link = acceptAndGreet();
    ASSERT_TRUE(link);
    const auto greeted = Clock::now();
    EXPECT_TRUE(closesWithin(*link, 6s));
    EXPECT_GT(Clock::now() - greeted, 700ms);
    ASSERT_TRUE(stub->finishedWithin(3s));
    EXPECT_EQ(stub->status(), 0);
    EXPECT_TRUE(record().has("end_wait_timed_out"));
    link.reset();
    stub.reset();

    behaviour("dumps = 0\nend_wait_seconds = 1\nhang_until_end = yes\n");
    start();
    link = acceptAndGreet();
    ASSERT_TRUE(link);
    EXPECT_FALSE(closesWithin(*link, 2500ms));
    ASSERT_TRUE(writeRaw(*link, endBytes));
    EXPECT_TRUE(closesWithin(*link, 3s));
    ASSERT_TRUE(stub->finishedWithin(3s));
    EXPECT_EQ(stub->status(), 0);
    EXPECT_EQ(record().count("end_received"), 1);
}

TEST_F(StubLinkTest, AWrongGreetingIsSentWhenAsked) {
    behaviour("greeting = wrong\n");
    start();
    auto link = listener->Accept();
    ASSERT_TRUE(link);
    ASSERT_TRUE(writeRaw(*link, nodeGreetingBytes));
    const std::string answer = readRaw(*link, 4, 5);
    EXPECT_EQ(answer.size(), 4u);
    EXPECT_NE(answer, hostGreetingBytes);
    link->Destroy();  // as the node drops a bogus connection
    ASSERT_TRUE(stub->finishedWithin(5s));
    EXPECT_EQ(stub->status(), 0);
    const StubRecord r = record();
    EXPECT_EQ(r.value("greeting_sent"), "wrong");
    EXPECT_FALSE(r.has("data_directory"));
}

TEST_F(StubLinkTest, NeverConnectingStillRendersTheOutput) {
    behaviour("connect = no\ndumps = 2\ndump_interval_ms = 100\n");
    listener->SetTimeout(1);
    start();
    EXPECT_FALSE(listener->Accept());
    ASSERT_TRUE(stub->finishedWithin(5s));
    EXPECT_EQ(stub->status(), 0);
    EXPECT_TRUE(record().has("not_connecting"));
    EXPECT_TRUE(fs::exists(data + "/dr_out.png"));
}

TEST_F(StubLinkTest, ACrashDropsTheLinkWithoutOutput) {
    behaviour("crash_after_dumps = 1\ndump_interval_ms = 100\n");
    start();
    auto link = acceptAndGreet();
    ASSERT_TRUE(link);
    EXPECT_FALSE(takeDump(5s).empty());
    EXPECT_TRUE(closesWithin(*link, 5s));
    ASSERT_TRUE(stub->finishedWithin(5s));
    EXPECT_EQ(stub->status(), 134);  // SIGABRT
    EXPECT_TRUE(record().has("crash"));
    EXPECT_FALSE(record().has("exit"));
    EXPECT_FALSE(fs::exists(data + "/dr_out.png"));
}

TEST_F(StubLinkTest, FailuresHaveTheirOwnExitStatus) {
    // Not a node: the greeting is wrong.
    start();
    auto link = listener->Accept();
    ASSERT_TRUE(link);
    ASSERT_TRUE(writeRaw(*link, std::string("\x27\x18\xC0\xC1", 4)));
    ASSERT_TRUE(stub->finishedWithin(5s));
    EXPECT_EQ(stub->status(), 4);
    EXPECT_TRUE(record().has("bad_node_greeting"));
    link.reset();
    stub.reset();

    // No scene: it never connects.
    fs::remove(data + "/received_scene.max");
    listener->SetTimeout(1);
    start();
    EXPECT_FALSE(listener->Accept());
    ASSERT_TRUE(stub->finishedWithin(5s));
    EXPECT_EQ(stub->status(), 2);
    EXPECT_TRUE(record().has("scene_missing"));
    stub.reset();

    // No node listening.
    writeFile(data + "/received_scene.max", "x");
    listener.reset();
    behaviour("connect_timeout_seconds = 1\n");
    start();
    ASSERT_TRUE(stub->finishedWithin(8s));
    EXPECT_EQ(stub->status(), 3);
    EXPECT_TRUE(record().has("connect_failed"));
}

}  // namespace
