// The discovery replier on a free UDP port, pinged by a raw datagram socket.

#include "support/RecordingWindow.h"

#include "node/DiscoveryReplier.h"
#include "port/socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace Varnix;
using Port::DatagramSocket;
using Port::IPv4Address;
using Clock = std::chrono::steady_clock;

using VarnixTest::RecordingWindow;

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
    void SetUp() override {
        ASSERT_TRUE(master.IsOk());
        // Free a moment ago: the replier binds it by number, as it does the
        // fixed one, so that a case can take it first or bind it after.
        DatagramSocket probe(IPv4Address::any(0));
        IPv4Address local;
        ASSERT_TRUE(probe.GetLocal(local));
        port = local.port;
    }

    void send(const std::string& datagram) {
        ASSERT_EQ(int(datagram.size()), master.SendTo(IPv4Address::loopback(port), datagram.data(), datagram.size()));
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
            EXPECT_EQ(port, from.port);
        }
        return got;
    }

    void stop(DiscoveryReplier& replier) {
        replier.stopRequested = true;
        replier.waitIdle();
    }

    RecordingWindow window;
    DatagramSocket master{IPv4Address::loopback(0)};
    std::uint16_t port = 0;
};

}  // namespace

TEST_F(DiscoveryTest, OnePingGetsFourRepliesAndOneLogLine) {
    DiscoveryReplier replier(&window, port);
    ASSERT_TRUE(window.waitFor(startLine));
    send(ping);
    EXPECT_EQ(std::vector<std::string>(4, reply), collect(1500));
    EXPECT_EQ(1, window.countStartingWith(replyLine));
    std::string expected = std::string(replyLine) + IPv4Address::loopback(0).hostname();
    EXPECT_EQ(1, window.countStartingWith(expected));
    stop(replier);
}

TEST_F(DiscoveryTest, ThreeQueuedPingsGetTwelveReplies) {
    DiscoveryReplier replier(&window, port);
    ASSERT_TRUE(window.waitFor(startLine));
    send(ping);
    send(ping);
    send(ping);
    EXPECT_EQ(std::vector<std::string>(12, reply), collect(2000));
    EXPECT_EQ(3, window.countStartingWith(replyLine));
    stop(replier);
}

TEST_F(DiscoveryTest, ShortOrWrongDatagramsAreIgnored) {
    DiscoveryReplier replier(&window, port);
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
    DiscoveryReplier replier(&window, port);
    ASSERT_TRUE(window.waitFor(startLine));
    // More than the socket's receive queue holds: whatever stays queued must
    // not hold the ping back.
    for (int i = 0; i < 5000; ++i) master.SendTo(IPv4Address::loopback(port), "junk", 1 + i % 4);
    // A ping that meets a full queue is lost on the way, as on any network;
    // a master pings again a moment later.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    send(ping);
    EXPECT_EQ(std::vector<std::string>(4, reply), collect(3000));
    stop(replier);
}

// How many small datagrams a socket of this system queues before it drops
// the next ones: the node's discovery socket has the same default size.
int datagramsASocketQueues() {
    DatagramSocket sender{IPv4Address::loopback(0)};
    DatagramSocket sink{IPv4Address::loopback(0)};
    IPv4Address to;
    if (!sink.GetLocal(to)) return 0;
    to.host = 0x7F000001u;
    for (int i = 0; i < 20000; ++i) sender.SendTo(to, "junk", 4);
    int queued = 0;
    char buffer[16];
    IPv4Address from;
    while (sink.RecvFrom(from, buffer, sizeof buffer) >= 0) ++queued;
    return queued;
}

TEST_F(DiscoveryTest, SteadyNoiseNeverCostsAPing) {
    DiscoveryReplier replier(&window, port);
    ASSERT_TRUE(window.waitFor(startLine));
    int queue = datagramsASocketQueues();
    ASSERT_GT(queue, 16);
    // Stray datagrams at about five queues' worth a second, a ping at the end
    // of every burst. A replier that waits on its socket drains each burst
    // long before the queue can fill; one that sleeps whole polls meanwhile
    // overflows and loses pings.
    DatagramSocket noise{IPv4Address::loopback(0)};
    const int bursts = 40;
    const int perBurst = queue / 8;
    std::vector<std::string> got;
    auto drain = [&] {
        char buffer[64];
        IPv4Address from;
        for (int n; (n = master.RecvFrom(from, buffer, sizeof buffer)) >= 0;) got.emplace_back(buffer, n);
    };
    for (int b = 0; b < bursts; ++b) {
        for (int i = 0; i < perBurst; ++i) noise.SendTo(IPv4Address::loopback(port), "junk", 1 + i % 4);
        send(ping);
        drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    for (auto start = Clock::now(); got.size() < 4u * bursts && msSince(start) < 20000;) {
        master.WaitForRead(100);
        drain();
    }
    EXPECT_EQ(std::size_t(4 * bursts), got.size()) << "pings answered: " << got.size() / 4 << " of " << bursts;
    EXPECT_EQ(std::count(got.begin(), got.end(), reply), std::ptrdiff_t(got.size()));
    // Every ping answered; the log lines of pings are budgeted, so at least
    // the first ones are there.
    EXPECT_TRUE(window.waitFor(replyLine));
    stop(replier);
}

TEST_F(DiscoveryTest, LongerDatagramStartingWithThePingIsAnswered) {
    DiscoveryReplier replier(&window, port);
    ASSERT_TRUE(window.waitFor(startLine));
    send(ping + "\x01\x02\x03\x04");
    EXPECT_EQ(std::vector<std::string>(4, reply), collect(1500));
    // The largest datagram IPv4 carries: on Windows a receive into a buffer
    // smaller than the datagram fails instead of truncating.
    send(ping + std::string(65507 - 4, 'x'));
    EXPECT_EQ(std::vector<std::string>(4, reply), collect(1500));
    EXPECT_EQ(2, window.countStartingWith(replyLine));
    stop(replier);
}

TEST_F(DiscoveryTest, PortTakenByAnotherProgramIsLoggedOnce) {
    DatagramSocket squatter(IPv4Address::any(port));
    ASSERT_TRUE(squatter.IsOk());
    DiscoveryReplier replier(&window, port);
    const std::string cannotBind = "Cannot bind to discovery port (UDP " + std::to_string(port) + ")";
    ASSERT_TRUE(window.waitFor(cannotBind));
    auto start = Clock::now();
    while (replier.isBusy() && msSince(start) < 2000) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(replier.isBusy());
    auto lines = window.snapshot();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(0u, lines[0].find(startLine));
    EXPECT_EQ(cannotBind, lines[1]);
    // Nothing runs any more, so stopping does not wait for a poll.
    start = Clock::now();
    stop(replier);
    EXPECT_LT(msSince(start), 2000);
}

TEST_F(DiscoveryTest, StopTakesEffectWithinOnePoll) {
    DiscoveryReplier replier(&window, port);
    ASSERT_TRUE(window.waitFor(startLine));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto start = Clock::now();
    stop(replier);
    // One 333 ms poll; the bound leaves room for a slow or sanitized run.
    EXPECT_LT(msSince(start), 5000);
    EXPECT_FALSE(replier.isBusy());
    // The port is free again once the loop has ended.
    DatagramSocket again(IPv4Address::any(port));
    EXPECT_TRUE(again.IsOk());
}

TEST_F(DiscoveryTest, DestroyingARunningReplierStopsIt) {
    auto start = Clock::now();
    {
        DiscoveryReplier replier(&window, port);
        ASSERT_TRUE(window.waitFor(startLine));
    }
    EXPECT_LT(msSince(start), 10000);
}

// The admin's scope of the status answer, asked from 127.0.0.1: answered
// only when that address is in it; what is no scope is refused.
TEST_F(DiscoveryTest, StatusIsAnsweredOnlyWithinTheAdminsScope) {
    struct Case {
        const char* scope;
        bool answered;
    } cases[] = {{"", true},
                 {"OFF", false},
                 {"127.0.0.2, 10.0.0.0/8", false},
                 {"10.0.0.1,127.0.0.0/255.0.0.0", true},
                 {"127.0.0.1-127.0.0.3", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scope);
        NodeStateBoard board;
        StatusSource source;
        source.board = &board;
        ASSERT_TRUE(parseAddressScope(c.scope, source.askers));
        DiscoveryReplier replier(&window, port, &source);
        std::string request(statusRequestBytes, '\0');
        encodeSignal(statusRequest, reinterpret_cast<unsigned char*>(&request[0]));
        send(request);
        EXPECT_EQ(!collect(c.answered ? 2000 : 500).empty(), c.answered);
    }
    AddressScope scope;
    for (const char* wrong : {"localsubnet", "10.0.0.1/33", "10.0.0.256", "10.0.0.5-10.0.0.1", "10.0.0.1,,10.0.0.2",
                              "10.0.0.0/255.0.255.0", "10.0.0"})
        EXPECT_FALSE(parseAddressScope(wrong, scope)) << wrong;
}
