// The socket layer on loopback, with ephemeral ports only (no fixed port).

#include "port/files.h"
#include "port/socket.h"
#include "support/LoopbackConnection.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

using namespace Varnix::Port;
using Clock = std::chrono::steady_clock;

namespace {

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

using Pair = VarnixTest::LoopbackConnection;

}  // namespace

TEST(StreamSocket, ReadWaitsForAllBytesAcrossSeveralWrites) {
    Pair p;
    std::thread writer([&] {
        for (char c : std::string("abcdef")) {
            p.client->Write(&c, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    });
    char got[6] = {};
    p.server->SetTimeout(5);
    p.server->Read(got, 6);
    writer.join();
    EXPECT_EQ(6u, p.server->LastReadCount());
    EXPECT_EQ(std::string("abcdef"), std::string(got, 6));
}

TEST(StreamSocket, ReadGivesUpAfterItsTimeoutWithWhatCame) {
    Pair p;
    p.client->Write("ab", 2);
    char got[4];
    p.server->SetTimeout(1);
    auto start = Clock::now();
    p.server->Read(got, 4);
    EXPECT_EQ(2u, p.server->LastReadCount());
    EXPECT_GE(msSince(start), 900);
    EXPECT_LT(msSince(start), 30000);  // bounded by the time-out, not the default 600 s
    EXPECT_TRUE(p.server->IsOk());
    EXPECT_FALSE(p.server->IsClosed());
}

TEST(StreamSocket, TimeoutZeroReturnsAtOnceWithWhatHasArrived) {
    Pair p;
    char got[4];
    p.server->SetTimeout(0);
    auto start = Clock::now();
    p.server->Read(got, 4);
    EXPECT_EQ(0u, p.server->LastReadCount());
    p.client->Write("xyz", 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    p.server->Read(got, 4);
    EXPECT_EQ(3u, p.server->LastReadCount());
    EXPECT_LT(msSince(start), 30000);  // no wait: not the default 600 s
}

TEST(StreamSocket, PeerCloseIsSeenWithoutARead) {
    Pair p;
    EXPECT_FALSE(p.server->IsClosed());
    p.client->Destroy();
    auto start = Clock::now();
    while (!p.server->IsClosed() && msSince(start) < 2000) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(p.server->IsClosed());
    EXPECT_TRUE(p.server->IsOk());  // an orderly close is not a failure
}

TEST(StreamSocket, BytesSentBeforeTheCloseCanStillBeRead) {
    Pair p;
    p.client->Write("\x26\x48\xC0\xC0", 4);
    p.client->Destroy();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(p.server->IsClosed());
    unsigned char got[4] = {};
    p.server->SetTimeout(1);
    p.server->Read(got, 4);
    EXPECT_EQ(4u, p.server->LastReadCount());
    EXPECT_EQ(0x26, got[0]);
    EXPECT_TRUE(p.server->IsClosed());
}

TEST(StreamSocket, ReadAfterPeerCloseReturnsAtOnce) {
    Pair p;
    p.client->Destroy();
    char got[4];
    p.server->SetTimeout(60);
    auto start = Clock::now();
    p.server->Read(got, 4);
    EXPECT_EQ(0u, p.server->LastReadCount());
    EXPECT_LT(msSince(start), 30000);  // the close, not the 60 s time-out
}

TEST(StreamSocket, WritingToAGonePeerFailsWithoutEndingTheProcess) {
    Pair p;
    p.client->Destroy();
    std::vector<char> block(65536, 'x');
    p.server->SetTimeout(2);
    bool sawFailure = false;
    for (int i = 0; i < 50 && !sawFailure; ++i) {
        p.server->Write(block.data(), static_cast<std::uint32_t>(block.size()));
        sawFailure = !p.server->IsOk() || p.server->LastWriteCount() != block.size();
    }
    EXPECT_TRUE(sawFailure);
    EXPECT_TRUE(p.server->IsClosed());
}

class WriteFileTest : public VarnixTest::TempDirectoryTest {
protected:
    std::u16string wide(const std::string& name) {
        std::u16string out;
        for (char c : pathOf(name)) out += char16_t(static_cast<unsigned char>(c));
        return out;
    }
};

TEST_F(WriteFileTest, SendsTheRangeAsTheFileHadItAndSaysWhereItStopped) {
    std::string content(200000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = char('a' + (i * 7 + i / 4096) % 26);
    struct Case {
        const char* what;
        std::int64_t offset;
        std::uint32_t count;
        std::uintmax_t resizeTo;  // after opening; 0: left alone
        FileSendEnd end;
        std::uint32_t sent;
    } cases[] = {
        {"a range inside the file", 1000, 150000, 0, FileSendEnd::sent, 150000},
        {"the file grows while sent", 0, 200000, 5000000, FileSendEnd::sent, 200000},
        {"the file shrinks while sent", 0, 200000, 70000, FileSendEnd::fileShrank, 70000},
        {"a range past the end", 250000, 10, 0, FileSendEnd::fileShrank, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeBytes("dump.exr", content);
        InputFile file(wide("dump.exr").c_str());
        ASSERT_EQ(InputFile::Status::opened, file.status());
        if (c.resizeTo) std::filesystem::resize_file(pathOf("dump.exr"), c.resizeTo);
        Pair p;
        std::string got;
        std::thread reader([&] {
            std::vector<char> buffer(65536);
            p.client->SetTimeout(10);
            do {
                p.client->Read(buffer.data(), std::uint32_t(buffer.size()));
                got.append(buffer.data(), p.client->LastReadCount());
            } while (p.client->LastReadCount() > 0);
        });
        p.server->SetTimeout(10);
        EXPECT_EQ(c.end, p.server->WriteFile(file, c.offset, c.count));
        EXPECT_EQ(c.sent, p.server->LastWriteCount());
        p.server->Write("#", 1);  // right behind the range: nothing more went
        p.server->Destroy();
        reader.join();
        EXPECT_EQ((c.sent ? content.substr(std::size_t(c.offset), c.sent) : "") + "#", got);
    }
}

TEST_F(WriteFileTest, EndsAtTheDeadlineOfAPeerThatTakesNothingAndFailsOnAGonePeer) {
    // Far more than the socket buffers hold (sparse: no disk is used).
    { std::ofstream(pathOf("big.exr"), std::ios::binary); }
    std::filesystem::resize_file(pathOf("big.exr"), 64u << 20);
    InputFile file(wide("big.exr").c_str());
    ASSERT_EQ(InputFile::Status::opened, file.status());
    Pair p;
    p.server->SetTimeout(1);
    EXPECT_EQ(FileSendEnd::timedOut, p.server->WriteFile(file, 0, 64u << 20));
    EXPECT_LT(p.server->LastWriteCount(), 64u << 20);
    EXPECT_TRUE(p.server->IsOk());

    // Gone: a failure, not a signal that ends the process.
    p.client->Destroy();
    FileSendEnd end = FileSendEnd::sent;
    for (int i = 0; i < 20 && end != FileSendEnd::connectionFailed; ++i) end = p.server->WriteFile(file, 0, 64u << 20);
    EXPECT_EQ(FileSendEnd::connectionFailed, end);
    EXPECT_FALSE(p.server->IsOk());
}

TEST(StreamSocket, DestroyedSocketIsUnusableAndIdle) {
    Pair p;
    p.server->Destroy();
    p.server->Destroy();
    EXPECT_FALSE(p.server->IsOk());
    EXPECT_TRUE(p.server->IsClosed());
    char c;
    p.server->Read(&c, 1);
    p.server->Write("a", 1);
    EXPECT_EQ(0u, p.server->LastReadCount());
    EXPECT_EQ(0u, p.server->LastWriteCount());
}

TEST(StreamSocket, PeerAddressIsTheClients) {
    Pair p;
    IPv4Address peer;
    ASSERT_TRUE(p.server->GetPeer(peer));
    EXPECT_EQ("127.0.0.1", peer.dotted());
    EXPECT_FALSE(peer.hostname().empty());
}

TEST(StreamSocket, ConnectToAClosedPortFailsWithAReason) {
    IPv4Address freePort;
    {
        ListeningSocket probe(IPv4Address::loopback(0));
        ASSERT_TRUE(probe.GetLocal(freePort));
    }
    auto link = StreamSocket::connect(freePort, 2);
    EXPECT_FALSE(link.isOk());
    EXPECT_EQ(nullptr, link.value());
    EXPECT_FALSE(link.status().text().empty());
}

TEST(ListeningSocket, AcceptWaitsAtMostItsTimeout) {
    ListeningSocket listener(IPv4Address::loopback(0));
    ASSERT_TRUE(listener.IsOk());
    listener.SetTimeout(1);
    auto start = Clock::now();
    EXPECT_EQ(nullptr, listener.Accept());
    EXPECT_GE(msSince(start), 900);
    EXPECT_LT(msSince(start), 30000);  // bounded by the time-out, not the default 600 s
}

TEST(ListeningSocket, SecondListenerOnTheSamePortIsNotOk) {
    ListeningSocket first(IPv4Address::loopback(0));
    IPv4Address bound;
    ASSERT_TRUE(first.GetLocal(bound));
    ListeningSocket second(bound);
    EXPECT_FALSE(second.IsOk());
    EXPECT_EQ(nullptr, second.Accept());
}

TEST(ListeningSocket, ChildProcessesDoNotInheritThePort) {
    IPv4Address bound;
    {
        ListeningSocket listener(IPv4Address::loopback(0));
        ASSERT_TRUE(listener.GetLocal(bound));
        // A background child that outlives the listener would keep the port
        // bound if it had inherited the socket.
        std::system("sleep 3 >/dev/null 2>&1 &");
    }
    ListeningSocket again(bound);
    EXPECT_TRUE(again.IsOk());
}

TEST(DatagramSocket, ReceiveNeverWaitsAndKeepsOnlyTheFirstBytes) {
    DatagramSocket receiver(IPv4Address::loopback(0));
    DatagramSocket sender(IPv4Address::loopback(0));
    ASSERT_TRUE(receiver.IsOk() && sender.IsOk());
    IPv4Address to, senderAddress, from;
    ASSERT_TRUE(receiver.GetLocal(to));
    ASSERT_TRUE(sender.GetLocal(senderAddress));

    unsigned char buffer[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    auto start = Clock::now();
    EXPECT_EQ(-1, receiver.RecvFrom(from, buffer, 4));
    EXPECT_LT(msSince(start), 30000);  // returns instead of waiting for a datagram
    EXPECT_EQ(0xFF, buffer[0]);

    EXPECT_EQ(8, sender.SendTo(to, "\x29\x37\xC0\xC0\x01\x02\x03\x04", 8));
    ASSERT_TRUE(receiver.WaitForRead(2000));
    EXPECT_EQ(4, receiver.RecvFrom(from, buffer, 4));
    EXPECT_EQ(0x29, buffer[0]);
    EXPECT_EQ(0xC0, buffer[3]);
    EXPECT_EQ(senderAddress, from);
    EXPECT_EQ(-1, receiver.RecvFrom(from, buffer, 4));  // the rest was dropped
}

TEST(DatagramSocket, SecondBindOfAPortIsNotOk) {
    DatagramSocket first(IPv4Address::any(0));
    IPv4Address bound;
    ASSERT_TRUE(first.GetLocal(bound));
    DatagramSocket second(IPv4Address::any(bound.port));
    EXPECT_FALSE(second.IsOk());
}

TEST(IPv4Address, ResolvesDottedAndNames) {
    IPv4Address a;
    ASSERT_TRUE(IPv4Address::resolve("127.0.0.1", 19666, a));
    EXPECT_EQ(0x7F000001u, a.host);
    EXPECT_EQ(19666, a.port);
    EXPECT_TRUE(IPv4Address::resolve("localhost", 1, a));
    EXPECT_FALSE(IPv4Address::resolve("no such host.invalid", 1, a));
    EXPECT_EQ("255.255.255.255", IPv4Address::broadcast(1).dotted());
}
