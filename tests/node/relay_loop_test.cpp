// The job's relay loop between a raw master and a raw 3ds Max side on a
// free loopback port, with dumps in a temporary data directory. The loop's
// fallback poll is two minutes long, so only its wake-ups can serve a dump,
// an END or a close within the tests' limits; nothing here measures time.

#include "support/RecordingWindow.h"

#include "support/TempDirectory.h"
#include "node/DumpRelay.h"
#include "node/HostListener.h"
#include "node/Protocol.h"
#include "node/RenderJob.h"
#include "port/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

using namespace Varnix;
using Port::IPv4Address;
using Port::StreamSocket;

using VarnixTest::RecordingWindow;

namespace {

constexpr int fallbackPollMs = 120000;
constexpr int eventLimitSeconds = 60;
const std::string endBytes("\x26\x48\xC0\xC0", 4);
const std::string dumpSignalBytes("\x27\x58\xC0\xC0", 4);

std::string take(StreamSocket& s, std::uint32_t count, int seconds = eventLimitSeconds) {
    std::string bytes(count, '\0');
    s.SetTimeout(seconds);
    s.Read(&bytes[0], count);
    bytes.resize(s.LastReadCount());
    return bytes;
}

std::uint32_t sizeOf(const std::string& bytes) {
    return decodeSignal(reinterpret_cast<const unsigned char*>(bytes.data()));
}

std::string content(std::size_t size, char seed) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = char(seed + i % 97);
    return text;
}

class RelayLoopTest : public VarnixTest::TempDirectoryTest {
protected:
    void SetUp() override {
        VarnixTest::TempDirectoryTest::SetUp();
        dataDirectory = String((directory.string() + "/").c_str());
        IPv4Address local;
        ASSERT_TRUE(masterListener.GetLocal(local));
        masterSide = StreamSocket::connect(local, 5).take();
        masterListener.SetTimeout(5);
        nodeSide = masterListener.Accept();
        ASSERT_TRUE(masterSide && nodeSide);
        // The 3ds Max side connects, greets and reads the data directory.
        auto maxSide = std::async(std::launch::async, [this] {
            IPv4Address bound;
            if (!host.listeningSocket()->GetLocal(bound)) return false;
            hostSide = StreamSocket::connect(bound, 5).take();
            if (!hostSide) return false;
            take(*hostSide, 4, 5);
            hostSide->Write("\x72\x21\xC0\xC0", 4);
            for (char c = 1; c != '\0';) {
                hostSide->Read(&c, 1);
                if (hostSide->LastReadCount() != 1) return false;
            }
            return true;
        });
        bool online = false;
        for (int attempt = 0; attempt < 10 && !online; ++attempt) online = host.acceptHost(dataDirectory);
        ASSERT_TRUE(online);
        ASSERT_TRUE(maxSide.get());
    }

    void TearDown() override {
        if (loop.valid()) {
            masterSide->Destroy();
            hostSide->Destroy();
            loop.wait();
        }
        host.closeHost();
        VarnixTest::TempDirectoryTest::TearDown();
    }

    void startLoop() {
        loop = std::async(std::launch::async, [this] {
            RelayInputs inputs{nodeSide.get(), &host, dataDirectory, &window};
            inputs.pollMilliseconds = fallbackPollMs;
            dumps.relayWhileBothConnected(inputs);
        });
        // Give it time to reach its wait; nothing depends on it having done so.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }

    // Written under another name and renamed into place, as 3ds Max does.
    void writeDump(const std::string& name, const std::string& bytes) {
        std::filesystem::path outside = directory.string() + "-" + name + ".tmp";
        { std::ofstream(outside, std::ios::binary) << bytes; }
        std::filesystem::rename(outside, directory / name);
    }

    // Reads one dump from the master connection: signal, size and content.
    std::string readDump() {
        if (take(*masterSide, 4) != dumpSignalBytes) return "no dump signal";
        std::string size = take(*masterSide, 4);
        if (size.size() != 4) return "no size";
        return take(*masterSide, sizeOf(size));
    }

    bool loopEnded() { return loop.wait_for(std::chrono::seconds(eventLimitSeconds)) == std::future_status::ready; }

    RecordingWindow window;
    HostListener host{&window, 0};
    DumpRelay dumps;
    Port::ListeningSocket masterListener{IPv4Address::loopback(0)};
    std::unique_ptr<StreamSocket> masterSide, nodeSide, hostSide;
    String dataDirectory;
    std::future<void> loop;
};

}  // namespace

TEST_F(RelayLoopTest, ADumpFinishedWhileTheLoopWaitsGoesToTheMasterAndIsDeleted) {
    startLoop();
    std::string bytes = content(100000, 'a');
    writeDump("dump1.exr", bytes);
    EXPECT_EQ(bytes, readDump());
    EXPECT_TRUE(window.waitFor("Removed file: ", 1, eventLimitSeconds * 1000));
    EXPECT_FALSE(std::filesystem::exists(directory / "dump1.exr"));
}

TEST_F(RelayLoopTest, AnEndSentWhileTheLoopWaitsReaches3dsMax) {
    startLoop();
    masterSide->Write(endBytes.data(), 4);
    EXPECT_EQ(endBytes, take(*hostSide, 4));
    EXPECT_EQ(1, window.countStartingWith("Got END signal from remote side, forwarding to 3dsmax"));
    // And the next one as well.
    masterSide->Write(endBytes.data(), 4);
    EXPECT_EQ(endBytes, take(*hostSide, 4));
}

TEST_F(RelayLoopTest, TheLoopEndsWhen3dsMaxClosesWhileItWaits) {
    startLoop();
    hostSide->Destroy();
    EXPECT_TRUE(loopEnded());
}

TEST_F(RelayLoopTest, TheLoopEndsWhenTheMasterClosesWhileItWaits) {
    startLoop();
    masterSide->Destroy();
    EXPECT_TRUE(loopEnded());
}

TEST_F(RelayLoopTest, ADumpAndAnEndThatComeDuringATransferAreBothServedAfterIt) {
    startLoop();
    // Large enough to fill the loopback buffers: the node is held inside its
    // transfer until the master reads on.
    std::string first = content(32 << 20, 'f');
    writeDump("dump1.exr", first);
    ASSERT_EQ(dumpSignalBytes, take(*masterSide, 4));
    ASSERT_EQ(first.size(), sizeOf(take(*masterSide, 4)));
    std::string received = take(*masterSide, 65536);
    ASSERT_TRUE(window.waitFor("Started EXR dump (", 1, eventLimitSeconds * 1000));

    std::string second = content(5000, 's');
    writeDump("dump2.exr", second);
    masterSide->Write(endBytes.data(), 4);

    received += take(*masterSide, std::uint32_t(first.size() - received.size()));
    EXPECT_TRUE(received == first) << "the first dump arrived damaged";
    EXPECT_EQ(second, readDump());
    EXPECT_EQ(endBytes, take(*hostSide, 4));
    EXPECT_TRUE(window.waitFor("Removed file: ", 2, eventLimitSeconds * 1000));
    EXPECT_FALSE(std::filesystem::exists(directory / "dump1.exr"));
    EXPECT_FALSE(std::filesystem::exists(directory / "dump2.exr"));
}

TEST_F(RelayLoopTest, DumpsAndEndsThatCameBeforeTheLoopStartedAreServedAtOnce) {
    std::string bytes = content(3000, 'p');
    writeDump("dump1.exr", bytes);
    masterSide->Write(endBytes.data(), 4);
    startLoop();
    EXPECT_EQ(bytes, readDump());
    EXPECT_EQ(endBytes, take(*hostSide, 4));
}
