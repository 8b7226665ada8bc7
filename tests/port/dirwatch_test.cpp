// Waking on a finished file in a directory, on bytes from a connection and on
// a connection's end: real files in a temporary directory and real loopback
// sockets. Each wait is long, so that only the event can end it in time; the
// tests check what woke it, never how fast.

#include "port/dirwatch.h"
#include "port/socket.h"

#include "support/LoopbackConnection.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace Varnix::Port;

namespace {

// Long enough that a wait which does not wake on its event fails the test
// instead of passing by its time-out.
constexpr int longWaitMs = 120000;

using Connection = VarnixTest::LoopbackConnection;

class DirectoryWatchTest : public VarnixTest::TempDirectoryTest {
protected:
    void SetUp() override {
        VarnixTest::TempDirectoryTest::SetUp();
        // A name that is not UTF-8 is watched as well as any.
        directory /= VarnixTest::oddFolderName();
        std::filesystem::create_directory(directory);
        watch = std::make_unique<DirectoryWatch>(VarnixTest::portPath(directory).c_str());
        ASSERT_TRUE(watch->IsOk());
    }
    // Nothing pending: a wait that only looks reports nothing.
    bool quiet() { return !waitForActivity(watch.get(), nullptr, nullptr, 0).any(); }

    std::unique_ptr<DirectoryWatch> watch;
};

}  // namespace

TEST_F(DirectoryWatchTest, AFileWrittenAndClosedWakesAWaitThatRuns) {
    ASSERT_TRUE(quiet());
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        writeBytes("dump1.exr", "image");
    });
    Activity seen = waitForActivity(watch.get(), nullptr, nullptr, longWaitMs);
    writer.join();
    EXPECT_TRUE(seen.directoryChanged);
    EXPECT_FALSE(seen.readable);
    EXPECT_FALSE(seen.closed);
}

TEST_F(DirectoryWatchTest, AChangeBeforeTheWaitIsReportedOnceAndThenTaken) {
    writeBytes("dump1.exr", "one");
    writeBytes("dump2.exr", "two");
    EXPECT_TRUE(waitForActivity(watch.get(), nullptr, nullptr, longWaitMs).directoryChanged);
    EXPECT_TRUE(quiet());
}

TEST_F(DirectoryWatchTest, AFileRenamedIntoPlaceWakesTheWait) {
    std::filesystem::path other = directory.string() + "-outside";
    std::filesystem::create_directories(other);
    { std::ofstream(other / "dump.tmp") << "image"; }
    // Writing outside the directory is not a change of it.
    ASSERT_TRUE(quiet());
    std::thread mover([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::filesystem::rename(other / "dump.tmp", directory / "dump3.exr");
    });
    Activity seen = waitForActivity(watch.get(), nullptr, nullptr, longWaitMs);
    mover.join();
    std::filesystem::remove_all(other);
    EXPECT_TRUE(seen.directoryChanged);
}

// Windows reports a bare creation too: the system cannot tell it apart.
TEST_F(DirectoryWatchTest, AFileStillBeingWrittenDoesNotWakeUntilItIsClosed) {
    std::FILE* file = std::fopen(pathOf("dump4.exr").c_str(), "wb");
    ASSERT_NE(nullptr, file);
    std::fputs("half", file);
    std::fflush(file);
    EXPECT_TRUE(quiet());
    std::fclose(file);
    EXPECT_TRUE(waitForActivity(watch.get(), nullptr, nullptr, longWaitMs).directoryChanged);
}

TEST_F(DirectoryWatchTest, AMissingDirectoryGivesNoWatchAndTheWaitStillSeesItsSockets) {
    DirectoryWatch missing(VarnixTest::portPath(directory / "absent").c_str());
    EXPECT_FALSE(missing.IsOk());
    Connection c;
    c.client->Write("x", 1);
    Activity seen = waitForActivity(&missing, c.server.get(), nullptr, longWaitMs);
    EXPECT_TRUE(seen.readable);
    EXPECT_FALSE(seen.directoryChanged);
}

TEST(ActivityWait, BytesOnTheIncomingConnectionWakeTheWaitAndStayUntilRead) {
    Connection c;
    EXPECT_FALSE(waitForActivity(nullptr, c.server.get(), nullptr, 0).any());
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        c.client->Write("\x26\x48\xC0\xC0", 4);
    });
    Activity seen = waitForActivity(nullptr, c.server.get(), nullptr, longWaitMs);
    sender.join();
    EXPECT_TRUE(seen.readable);
    // Not read yet: still there for the next wait.
    EXPECT_TRUE(waitForActivity(nullptr, c.server.get(), nullptr, 0).readable);
    char bytes[4];
    c.server->SetTimeout(5);
    c.server->Read(bytes, 4);
    ASSERT_EQ(4u, c.server->LastReadCount());
    EXPECT_FALSE(waitForActivity(nullptr, c.server.get(), nullptr, 0).any());
}

TEST(ActivityWait, TheIncomingConnectionsEndWakesTheWait) {
    Connection c;
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        c.client->Destroy();
    });
    Activity seen = waitForActivity(nullptr, c.server.get(), nullptr, longWaitMs);
    closer.join();
    EXPECT_TRUE(seen.readable);
    EXPECT_TRUE(c.server->IsClosed());
}

TEST(ActivityWait, TheClosingConnectionsEndWakesTheWaitButItsBytesDoNot) {
    Connection incoming, closing;
    closing.client->Write("stray", 5);
    // Bytes alone are not an end: the wait runs on to its time-out.
    EXPECT_FALSE(waitForActivity(nullptr, incoming.server.get(), closing.server.get(), 300).any());
    char sink[5];
    closing.server->SetTimeout(5);
    closing.server->Read(sink, 5);
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        closing.client->Destroy();
    });
    Activity seen = waitForActivity(nullptr, incoming.server.get(), closing.server.get(), longWaitMs);
    closer.join();
    EXPECT_TRUE(seen.closed);
    EXPECT_FALSE(seen.readable);
    // Already over: the next wait returns at once with it.
    EXPECT_TRUE(waitForActivity(nullptr, nullptr, closing.server.get(), longWaitMs).closed);
}

TEST(ActivityWait, EventsThatCameTogetherAreReportedTogether) {
    Connection c;
    VarnixTest::TempDirectory temp;
    const std::filesystem::path& dir = temp.path();
    DirectoryWatch watch(VarnixTest::portPath(dir).c_str());
    ASSERT_TRUE(watch.IsOk());
    { std::ofstream(dir / "dump1.exr") << "image"; }
    c.client->Write("\x26\x48\xC0\xC0", 4);
    // Both are pending before the wait starts; let the bytes arrive first.
    ASSERT_TRUE(c.server->WaitForRead(longWaitMs));
    Activity seen = waitForActivity(&watch, c.server.get(), nullptr, longWaitMs);
    EXPECT_TRUE(seen.directoryChanged);
    EXPECT_TRUE(seen.readable);
}
