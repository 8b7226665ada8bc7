// drmaster and the stand-in in one job, with the test standing in for the
// node between them: it speaks both links byte for byte and relays dumps and
// END the way a node does.
#include "FrameImage.h"
#include "node/Protocol.h"
#include "peers/PortsSupport.h"

using namespace PeerTest;

namespace {

uint32_t fromLE32(const std::string& bytes) {
    return Varnix::decodeSignal(reinterpret_cast<const unsigned char*>(bytes.data()));
}

class PeersTogetherTest : public VarnixTest::TempDirectoryTest {};

TEST_F(PeersTogetherTest, AJobFromDrmasterIsRenderedByTheStandInAndItsDumpsComeBack) {
    const std::string install = (directory / "max").string() + "/";
    const std::string data = (directory / "node" / "drData").string() + "/";
    const std::string out = pathOf("frames");
    const std::string scene = pathOf("shot.max");
    fs::create_directories(install);
    fs::create_directories(data);
    fs::copy_file(binDir() + "/maxstub/3dsmaxcmd.exe", install + "3dsmaxcmd.exe");
    writeFile(install + "maxstub-behaviour.txt", "dumps = 3\ndump_interval_ms = 1000\n");
    writeFile(scene, std::string(100000, 'q'));

    ListeningSocket masterPort(IPv4Address::loopback(Varnix::masterPort));
    ListeningSocket hostPort(IPv4Address::loopback(Varnix::hostPort));
    ASSERT_TRUE(masterPort.IsOk() && hostPort.IsOk());
    masterPort.SetTimeout(10);
    hostPort.SetTimeout(10);

    Child master(shellQuote(binDir() + "/drmaster") + " render --node 127.0.0.1 --version 2014 --frame 42 --scene " +
                     shellQuote(scene) + " --out " + shellQuote(out) + " --end-after-dumps 2",
                 pathOf("master"));

    // The master link, up to the scene.
    auto fromMaster = masterPort.Accept();
    ASSERT_TRUE(fromMaster);
    ASSERT_TRUE(writeRaw(*fromMaster, nodeGreetingBytes));
    ASSERT_EQ(readRaw(*fromMaster, 4, 5), masterGreetingBytes);
    ASSERT_EQ(readStringFrame(*fromMaster, 5), "2014 42");
    const uint32_t sceneSize = fromLE32(readRaw(*fromMaster, 4, 5));
    ASSERT_EQ(sceneSize, 100000u);
    writeFile(data + "/received_scene.max", readRaw(*fromMaster, sceneSize, 10));

    // The renderer, started as a node starts it.
    Child stub("\"" + install + "3dsmaxcmd.exe\" \"" + data + "/received_scene.max\" -o:\"" + data +
                   "/dr_out.png\" -start:42 -end:42 -continueOnError -gammaCorrection:1 -rfw:1 -sf  >> \"" + data +
                   "/MaxLog.txt\"",
               pathOf("stub"));
    auto fromHost = hostPort.Accept();
    ASSERT_TRUE(fromHost);
    ASSERT_TRUE(writeRaw(*fromHost, nodeGreetingBytes));
    ASSERT_EQ(readRaw(*fromHost, 4, 5), hostGreetingBytes);
    ASSERT_TRUE(writeRaw(*fromHost, data + std::string(1, '\0')));

    // Relay until the renderer closes its link.
    const auto relay = [&] {
        for (const auto& entry : fs::directory_iterator(data)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("dump", 0) != 0 || entry.path().extension() != ".exr") continue;
            const std::string bytes = readFile(entry.path().string());
            ASSERT_TRUE(writeRaw(*fromMaster, fileDumpBytes + le32(static_cast<uint32_t>(bytes.size())) + bytes));
            fs::remove(entry.path());
        }
    };
    int endsForwarded = 0;
    const auto giveUp = Clock::now() + 20s;
    while (!fromHost->IsClosed() && Clock::now() < giveUp) {
        relay();
        if (fromMaster->WaitForRead(0) && !fromMaster->IsClosed()) {
            if (readRaw(*fromMaster, 4, 5) == endBytes) {
                ASSERT_TRUE(writeRaw(*fromHost, endBytes));
                ++endsForwarded;
            }
        }
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(fromHost->IsClosed()) << "the stand-in kept its link open";
    relay();
    fromHost->Destroy();
    ASSERT_TRUE(stub.finishedWithin(5s));
    EXPECT_EQ(stub.status(), 0);
    fromMaster->Destroy();
    ASSERT_TRUE(master.finishedWithin(5s));
    EXPECT_EQ(master.status(), 0) << master.err();
    EXPECT_EQ(endsForwarded, 1);

    // Every dump that reached the master shows frame 42.
    int dumps = 0;
    std::vector<bool> expected;
    for (float r : Varnix::Peer::makeFrameImage(128, 64, 42, 1.0).red) expected.push_back(r > 0.1f);
    for (const auto& entry : fs::directory_iterator(out)) {
        ExrPicture picture;
        ASSERT_TRUE(readExr(entry.path().string(), picture));
        ASSERT_EQ(picture.width, 128);
        std::vector<bool> lit;
        for (int y = 0; y < picture.height; ++y)
            for (int x = 0; x < picture.width; ++x) lit.push_back(static_cast<float>(picture.pixels[y][x].r) > 0.1f);
        EXPECT_EQ(lit, expected) << entry.path();
        ++dumps;
    }
    EXPECT_EQ(dumps, 2);  // END went out after the second dump; the renderer stopped before a third

    const StubRecord record = StubRecord::lastRun(install + "maxstub-record.txt");
    EXPECT_EQ(record.value("scene_size"), "100000");
    EXPECT_EQ(record.value("data_directory"), data);
    EXPECT_EQ(record.count("end_received"), 1);
}

}  // namespace
