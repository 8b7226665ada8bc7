// "drmaster wake": the Wake-on-LAN packet as a network card expects it.
#include "peers/PortsSupport.h"

using namespace PeerTest;
using Varnix::Port::DatagramSocket;

namespace {

class WakeTest : public VarnixTest::TempDirectoryTest {
protected:
    // drmaster wake's exit status; its output in `output`.
    int wake(const std::string& args, std::string& output) {
        Child run(shellQuote(binDir() + "/drmaster") + " wake " + args, pathOf("wake"));
        if (!run.finishedWithin(std::chrono::seconds(30))) return -1;
        int status = run.status();
        output = run.out() + run.err();
        return status;
    }
};

}  // namespace

// Six 0xFF bytes and the address sixteen times, sent a few times over,
// for each address given in either notation; a bad address sends nothing.
TEST_F(WakeTest, EachAddressGetsItsMagicPacketAndABadOneNone) {
    DatagramSocket card(IPv4Address::loopback(0));
    IPv4Address bound;
    ASSERT_TRUE(card.GetLocal(bound));
    const std::string to = "--broadcast 127.0.0.1 --port " + std::to_string(bound.port);
    std::string output;
    EXPECT_EQ(wake(to + " 00:1A:2b:3c:4d:5e d8-bb-c1-0a-0b-0c", output), 0) << output;
    EXPECT_NE(output.find("Sent the wake-up packet for d8-bb-c1-0a-0b-0c to 127.0.0.1:"), std::string::npos) << output;
    std::vector<std::string> packets;
    while (card.WaitForRead(2000)) {
        IPv4Address from;
        char buffer[200];
        int count = card.RecvFrom(from, buffer, sizeof buffer);
        if (count >= 0) packets.emplace_back(buffer, std::size_t(count));
        if (packets.size() == 6) break;
    }
    auto packet = [](const std::string& mac) {
        std::string bytes(6, '\xFF');
        for (int i = 0; i < 16; ++i) bytes += mac;
        return bytes;
    };
    const std::string first = packet(std::string("\x00\x1A\x2B\x3C\x4D\x5E", 6));
    const std::string second = packet(std::string("\xD8\xBB\xC1\x0A\x0B\x0C", 6));
    EXPECT_EQ(packets, (std::vector<std::string>{first, first, first, second, second, second}));

    for (const char* bad : {"00:1a:2b:3c:4d", "00:1a:2b:3c:4d:5g", "00:1a-2b:3c:4d:5e", "node1", ""}) {
        EXPECT_EQ(wake(to + " '" + bad + "'", output), 2) << bad << ": " << output;
    }
    EXPECT_FALSE(card.WaitForRead(300));
}
