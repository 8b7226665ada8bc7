// The discovery replier on the fixed UDP port, pinged by a raw datagram socket.

#include "node/RecordingWindow.h"

#include "node/DiscoveryReplier.h"
#include "port/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace Varnix;
using Port::DatagramSocket;
using Port::IPv4Address;
using Clock = std::chrono::steady_clock;

namespace {

const std::string ping("\x29\x37\xC0\xC0", 4);
const std::string reply("\x27\x18\xC0\xC0", 4);
const char* const startLine = "Starting UDP socket, local hostname: ";
const char* const replyLine = "Replying to discovery ping from ";

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(master.IsOk()); }

    void send(const std::string& datagram) {
        ASSERT_EQ(int(datagram.size()),
                  master.SendTo(IPv4Address::loopback(DiscoveryReplier::port), datagram.data(), datagram.size()));
    }

    // Every datagram that reaches the master within `ms`.
    std::vector<std::string> collect(int ms) {
        std::vector<std::string> got;
        auto start = Clock::now();
        while (msSince(start) < ms) {
            if (!master.WaitForRead(50)) continue;
            char buffer[64];
            IPv4Address from;
            int n = master.RecvFrom(from, buffer, sizeof buffer);
            if (n < 0) continue;
            got.emplace_back(buffer, n);
            EXPECT_EQ(DiscoveryReplier::port, from.port);
        }
        return got;
    }

    void stop(DiscoveryReplier& replier) {
        replier.stopRequested = true;
        replier.waitIdle();
    }

    RecordingWindow window;
    DatagramSocket master{IPv4Address::loopback(0)};
};

}  // namespace

TEST_F(DiscoveryTest, OnePingGetsFourRepliesAndOneLogLine) {
    DiscoveryReplier replier(&window);
    ASSERT_TRUE(window.waitFor(startLine));
    send(ping);
    EXPECT_EQ(std::vector<std::string>(4, reply), collect(1500));
    EXPECT_EQ(1, window.countStartingWith(replyLine));
    std::string expected = std::string(replyLine) + IPv4Address::loopback(0).hostname();
    EXPECT_EQ(1, window.countStartingWith(expected));
    stop(replier);
}

TEST_F(DiscoveryTest, ThreeQueuedPingsGetTwelveReplies) {
    DiscoveryReplier replier(&window);
    ASSERT_TRUE(window.waitFor(startLine));
    send(ping);
    send(ping);
    send(ping);
    EXPECT_EQ(std::vector<std::string>(12, reply), collect(2000));
    EXPECT_EQ(3, window.countStartingWith(replyLine));
    stop(replier);
}

TEST_F(DiscoveryTest, ShortOrWrongDatagramsAreIgnored) {
    DiscoveryReplier replier(&window);
    ASSERT_TRUE(window.waitFor(startLine));
    send(std::string("\x29\x37\xC0", 3));
    send(std::string("\x29\x37\xC0\xC1", 4));
    send(reply);
    send(std::string());
    EXPECT_TRUE(collect(1500).empty());
    EXPECT_EQ(0, window.countStartingWith(replyLine));
    // Still serving afterwards.
    send(ping);
    EXPECT_EQ(4u, collect(1500).size());
    stop(replier);
}

TEST_F(DiscoveryTest, PingAfterAFloodOfStrayDatagramsIsAnsweredPromptly) {
    DiscoveryReplier replier(&window);
    ASSERT_TRUE(window.waitFor(startLine));
    // More than the socket's receive queue holds: whatever stays queued must
    // not hold the ping back.
    for (int i = 0; i < 5000; ++i)
        master.SendTo(IPv4Address::loopback(DiscoveryReplier::port), "junk", 1 + i % 4);
    // A ping that meets a full queue is lost on the way, as on any network;
    // a master pings again a moment later.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    send(ping);
    EXPECT_EQ(std::vector<std::string>(4, reply), collect(3000));
    stop(replier);
}

TEST_F(DiscoveryTest, LongerDatagramStartingWithThePingIsAnswered) {
    DiscoveryReplier replier(&window);
    ASSERT_TRUE(window.waitFor(startLine));
    send(ping + "\x01\x02\x03\x04");
    EXPECT_EQ(std::vector<std::string>(4, reply), collect(1500));
    stop(replier);
}

TEST_F(DiscoveryTest, PortTakenByAnotherProgramIsLoggedOnce) {
    DatagramSocket squatter(IPv4Address::any(DiscoveryReplier::port));
    ASSERT_TRUE(squatter.IsOk());
    DiscoveryReplier replier(&window);
    ASSERT_TRUE(window.waitFor("Cannot bind to discovery port (UDP 19666)"));
    auto start = Clock::now();
    while (replier.isBusy() && msSince(start) < 2000) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(replier.isBusy());
    auto lines = window.snapshot();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(0u, lines[0].find(startLine));
    EXPECT_EQ("Cannot bind to discovery port (UDP 19666)", lines[1]);
    start = Clock::now();
    stop(replier);
    EXPECT_LT(msSince(start), 100);
}

TEST_F(DiscoveryTest, StopTakesEffectWithinOnePoll) {
    DiscoveryReplier replier(&window);
    ASSERT_TRUE(window.waitFor(startLine));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto start = Clock::now();
    stop(replier);
    EXPECT_LT(msSince(start), 800);  // one 333 ms poll plus slack for a loaded machine
    EXPECT_FALSE(replier.isBusy());
    // The port is free again once the loop has ended.
    DatagramSocket again(IPv4Address::any(DiscoveryReplier::port));
    EXPECT_TRUE(again.IsOk());
}

TEST_F(DiscoveryTest, DestroyingARunningReplierStopsIt) {
    auto start = Clock::now();
    {
        DiscoveryReplier replier(&window);
        ASSERT_TRUE(window.waitFor(startLine));
    }
    EXPECT_LT(msSince(start), 3000);
}
