// The host link on a free loopback port, with a raw client as 3ds Max.

#include "support/RecordingWindow.h"

#include "node/HostListener.h"
#include "node/LinkPrimitives.h"
#include "port/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

using namespace Varnix;
using Port::IPv4Address;
using Port::StreamSocket;
using Clock = std::chrono::steady_clock;

using VarnixTest::RecordingWindow;

namespace {

const char* const bogusLine = "WARNING: Got bogus loopback connection";

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string readBytes(StreamSocket& s, std::uint32_t count, int seconds) {
    std::string bytes(count, '\0');
    s.SetTimeout(seconds);
    s.Read(&bytes[0], count);
    bytes.resize(s.LastReadCount());
    return bytes;
}

// Reads up to and including the first NUL, one byte at a time.
std::string readUpToNul(StreamSocket& s) {
    std::string text;
    s.SetTimeout(5);
    for (char c = 1; c != '\0';) {
        s.Read(&c, 1);
        if (s.LastReadCount() != 1) break;
        text += c;
    }
    return text;
}

class HostListenerTest : public ::testing::Test {
protected:
    std::unique_ptr<StreamSocket> connectToHostPort() {
        IPv4Address bound;
        EXPECT_TRUE(host.listeningSocket()->GetLocal(bound));
        return StreamSocket::connect(bound, 5).take();
    }

    RecordingWindow window;
    HostListener host{&window, 0};
    String dataDirectory{"C:\\Node/drData/"};

    // A 3ds Max side that greets correctly and reports what it was told; it
    // keeps its connection open in `hostSide`.
    std::future<std::string> goodHost() {
        return std::async(std::launch::async, [this] {
            hostSide = connectToHostPort();
            if (!hostSide) return std::string("no connection");
            std::string greeting = readBytes(*hostSide, 4, 5);
            hostSide->Write("\x72\x21\xC0\xC0", 4);
            return greeting + "|" + readUpToNul(*hostSide);
        });
    }
    std::unique_ptr<StreamSocket> hostSide;
};

}  // namespace

TEST_F(HostListenerTest, ListensOnTheLoopbackAddressOnly) {
    IPv4Address bound;
    ASSERT_TRUE(host.listeningSocket()->IsOk());
    ASSERT_TRUE(host.listeningSocket()->GetLocal(bound));
    EXPECT_EQ("127.0.0.1", bound.dotted());
    // Another address of this machine is not served.
    IPv4Address other;
    ASSERT_TRUE(IPv4Address::resolve("127.0.0.2", bound.port, other));
    EXPECT_FALSE(StreamSocket::connect(other, 2).isOk());
}

TEST_F(HostListenerTest, NoConnectionWithinOneSecond) {
    auto start = Clock::now();
    EXPECT_FALSE(host.acceptHost(dataDirectory));
    EXPECT_GE(millisecondsSince(start), 900);
    EXPECT_LT(millisecondsSince(start), 30000);  // bounded: the job checks the renderer between waits
    EXPECT_FALSE(host.hasConnection());
    EXPECT_TRUE(window.snapshot().empty());
}

TEST_F(HostListenerTest, GoodGreetingReceivesTheDataDirectoryWithOneNul) {
    auto told = goodHost();
    bool accepted = false;
    for (int i = 0; i < 5 && !accepted; ++i) accepted = host.acceptHost(dataDirectory);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(std::string("\x27\x18\xC0\xC0|C:\\Node/drData/\0", 21), told.get());
    EXPECT_TRUE(host.hasConnection());
    EXPECT_TRUE(isUsable(host.connection()));
    EXPECT_EQ("", readBytes(*hostSide, 1, 0));  // nothing after the NUL
    EXPECT_TRUE(window.snapshot().empty());
}

TEST_F(HostListenerTest, SilentConnectionIsBogusAfterFiveSeconds) {
    auto client = connectToHostPort();
    ASSERT_TRUE(client);
    auto start = Clock::now();
    EXPECT_FALSE(host.acceptHost(dataDirectory));
    EXPECT_GE(millisecondsSince(start), 4800);
    EXPECT_LT(millisecondsSince(start), 30000);  // the 5 s greeting time-out, not the default 600 s
    EXPECT_FALSE(host.hasConnection());
    EXPECT_EQ(std::vector<std::string>{bogusLine}, window.snapshot());
    // The client saw the node greeting, then the close.
    EXPECT_EQ(std::string("\x27\x18\xC0\xC0", 4), readBytes(*client, 4, 2));
    EXPECT_EQ("", readBytes(*client, 1, 2));
    EXPECT_TRUE(client->IsClosed());
}

TEST_F(HostListenerTest, WrongOrShortGreetingIsBogus) {
    for (std::string answer : {std::string("\x29\x37\xC0\xC0", 4), std::string("\x72\x21\xC0", 3)}) {
        auto client = connectToHostPort();
        ASSERT_TRUE(client);
        client->Write(answer.data(), static_cast<std::uint32_t>(answer.size()));
        if (answer.size() == 3) client->Destroy();  // an early close
        EXPECT_FALSE(host.acceptHost(dataDirectory));
        EXPECT_FALSE(host.hasConnection());
    }
    EXPECT_EQ(2, window.countStartingWith(bogusLine));
}

TEST_F(HostListenerTest, EachEndIsWrittenToThreeDsMax) {
    std::promise<void> accepted;
    auto heard = std::async(std::launch::async, [&] {
        auto s = connectToHostPort();
        readBytes(*s, 4, 5);
        s->Write("\x72\x21\xC0\xC0", 4);
        readUpToNul(*s);
        accepted.get_future().wait();
        return readBytes(*s, 8, 5);
    });
    bool ok = false;
    for (int i = 0; i < 5 && !ok; ++i) ok = host.acceptHost(dataDirectory);
    ASSERT_TRUE(ok);
    host.sendEnd();
    host.sendEnd();
    accepted.set_value();
    EXPECT_EQ(std::string("\x26\x48\xC0\xC0\x26\x48\xC0\xC0", 8), heard.get());
}

TEST_F(HostListenerTest, ThreeDsMaxClosingIsNoticedWithoutARead) {
    std::promise<void> closeNow;
    auto client = std::async(std::launch::async, [&] {
        auto s = connectToHostPort();
        readBytes(*s, 4, 5);
        s->Write("\x72\x21\xC0\xC0", 4);
        readUpToNul(*s);
        closeNow.get_future().wait();
        s->Destroy();
    });
    bool ok = false;
    for (int i = 0; i < 5 && !ok; ++i) ok = host.acceptHost(dataDirectory);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(isUsable(host.connection()));
    closeNow.set_value();
    client.get();
    auto start = Clock::now();
    while (isUsable(host.connection()) && millisecondsSince(start) < 1000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(isUsable(host.connection()));
    EXPECT_TRUE(host.hasConnection());  // still held until the job closes it
    host.closeHost();
    EXPECT_FALSE(host.hasConnection());
}

TEST_F(HostListenerTest, ThreeDsMaxClosingIsNoticedEvenAfterItSentBytes) {
    std::promise<void> closeNow;
    auto client = std::async(std::launch::async, [&] {
        auto s = connectToHostPort();
        readBytes(*s, 4, 5);
        s->Write("\x72\x21\xC0\xC0", 4);
        readUpToNul(*s);
        std::string chatter(100000, 'p');  // more than one turn drops
        s->SetTimeout(5);
        s->Write(chatter.data(), std::uint32_t(chatter.size()));
        closeNow.get_future().wait();
        s->Destroy();
    });
    bool ok = false;
    for (int i = 0; i < 5 && !ok; ++i) ok = host.acceptHost(dataDirectory);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(host.connectionUsable());
    closeNow.set_value();
    client.get();
    auto start = Clock::now();
    while (host.connectionUsable() && millisecondsSince(start) < 10000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(host.connectionUsable());
    EXPECT_FALSE(isUsable(host.connection()));
    EXPECT_TRUE(host.hasConnection());
    host.closeHost();
    EXPECT_FALSE(host.connectionUsable());
}

TEST_F(HostListenerTest, CloseHostClosesTheConnectionAndIsHarmlessWhenEmpty) {
    host.closeHost();
    auto told = std::async(std::launch::async, [this] {
        auto s = connectToHostPort();
        readBytes(*s, 4, 5);
        s->Write("\x72\x21\xC0\xC0", 4);
        readUpToNul(*s);
        return readBytes(*s, 1, 5);  // "" once the node has closed
    });
    bool ok = false;
    for (int i = 0; i < 5 && !ok; ++i) ok = host.acceptHost(dataDirectory);
    ASSERT_TRUE(ok);
    host.closeHost();
    EXPECT_FALSE(host.hasConnection());
    EXPECT_EQ("", told.get());
    host.closeHost();
}

TEST_F(HostListenerTest, UnboundListenerPacesTheCaller) {
    host.listeningSocket()->Destroy();
    auto start = Clock::now();
    EXPECT_FALSE(host.acceptHost(dataDirectory));
    EXPECT_GE(millisecondsSince(start), 900);
    EXPECT_LT(millisecondsSince(start), 30000);
}

// A loopback port that another program holds leaves the listener in place,
// unbound, for its owner to report; it shows and logs nothing.
TEST(HostListenerBindFailure, StaysUnboundAndKeepsGoing) {
    Port::ListeningSocket squatter(IPv4Address::loopback(0));
    IPv4Address taken;
    ASSERT_TRUE(squatter.GetLocal(taken));

    RecordingWindow window;
    HostListener host(&window, taken.port);
    EXPECT_FALSE(host.listeningSocket()->IsOk());
    EXPECT_TRUE(window.shownBoxes().empty());
    EXPECT_TRUE(window.snapshot().empty());

    // Without a listener a job's wait for 3ds Max is paced, not spun.
    auto start = Clock::now();
    EXPECT_FALSE(host.acceptHost(String("/data/")));
    EXPECT_GE(millisecondsSince(start), 900);
}
