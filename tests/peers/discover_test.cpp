// "drmaster discover" against the test's own discovery responder.
#include <signal.h>

#include <atomic>
#include <mutex>

#include "peers/PortsSupport.h"

using namespace PeerTest;
using Varnix::Port::DatagramSocket;

namespace {

// Answers every datagram on UDP 19666 with `reply`, `copies` times, as a node
// answers a ping; keeps what it received.
class Responder {
public:
    Responder(const IPv4Address& address, std::string reply, int copies)
        : socket(address), reply(std::move(reply)), copies(copies) {
        EXPECT_TRUE(socket.IsOk());
        thread = std::thread([this] { serve(); });
    }
    ~Responder() {
        stop = true;
        thread.join();
    }
    std::vector<std::string> received() {
        std::lock_guard<std::mutex> lock(mutex);
        return datagrams;
    }

private:
    void serve() {
        while (!stop) {
            if (!socket.WaitForRead(50)) continue;
            IPv4Address from;
            char buffer[64];
            const int count = socket.RecvFrom(from, buffer, sizeof buffer);
            if (count < 0) continue;
            {
                std::lock_guard<std::mutex> lock(mutex);
                datagrams.emplace_back(buffer, static_cast<size_t>(count));
            }
            for (int i = 0; i < copies; ++i) socket.SendTo(from, reply.data(), reply.size());
        }
    }

    DatagramSocket socket;
    std::string reply;
    int copies;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<std::string> datagrams;
    std::thread thread;
};

// True when `out` is one line per node, each starting with the given
// "address<TAB>host" and ending with "<TAB>N.N ms".
bool listing(const std::string& out, const std::vector<std::string>& starts) {
    std::istringstream lines(out);
    std::string line;
    size_t i = 0;
    while (std::getline(lines, line)) {
        if (i >= starts.size() || line.rfind(starts[i] + "\t", 0) != 0 || line.size() < 5 ||
            line.compare(line.size() - 3, 3, " ms") != 0)
            return false;
        ++i;
    }
    return i == starts.size() && !out.empty() && out.back() == '\n';
}

class DiscoverTest : public VarnixTest::TempDirectoryTest {
protected:
    std::unique_ptr<Child> discover(const std::string& args) {
        return std::make_unique<Child>(shellQuote(binDir() + "/drmaster") + " discover " + args, pathOf("discover"));
    }
};

TEST_F(DiscoverTest, ANamedNodeIsListedOnceHoweverManyRepliesItSends) {
    Responder node(IPv4Address::loopback(19666), nodeGreetingBytes, 4);
    auto run = discover("--numeric 127.0.0.1");
    ASSERT_TRUE(run->finishedWithin(10s));
    EXPECT_EQ(run->status(), 0) << run->err();
    // Address, host name ("-": not looked up) and reply time.
    EXPECT_TRUE(listing(run->out(), {"127.0.0.1\t-"})) << run->out();
    EXPECT_EQ(node.received(), std::vector<std::string>{masterGreetingBytes});

    // With names looked up, the line still starts with the address.
    run = discover("127.0.0.1");
    ASSERT_TRUE(run->finishedWithin(10s));
    EXPECT_EQ(run->status(), 0);
    const std::string out = run->out();
    EXPECT_EQ(out.rfind("127.0.0.1\t", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
}

TEST_F(DiscoverTest, SeveralNodesAtOnceAndAReportForScripts) {
    Responder first(IPv4Address::loopback(19666), nodeGreetingBytes, 4);
    Responder second(IPv4Address{0x7F000002u, 19666}, nodeGreetingBytes, 4);
    // Named hosts only: done as soon as both have answered, long before --wait.
    auto run = discover("--numeric --wait 60 --node 127.0.0.1 --node=127.0.0.2");
    ASSERT_TRUE(run->finishedWithin(30s));
    EXPECT_EQ(run->status(), 0) << run->err();
    EXPECT_TRUE(listing(run->out(), {"127.0.0.1\t-", "127.0.0.2\t-"}) ||
                listing(run->out(), {"127.0.0.2\t-", "127.0.0.1\t-"}))
        << run->out();

    run = discover("--json --numeric --wait 0.5 127.0.0.1 127.0.0.2 127.0.0.3");
    ASSERT_TRUE(run->finishedWithin(10s));
    EXPECT_EQ(run->status(), 10);
    const std::string report = run->out();
    EXPECT_EQ(report.rfind("{\"command\": \"discover\", \"wait_seconds\": 0.500, \"pinged\": [\"127.0.0.1\", "
                           "\"127.0.0.2\", \"127.0.0.3\"], \"nodes\": [{\"address\": \"127.0.0.",
                           0),
              0u)
        << report;
    EXPECT_NE(report.find("{\"address\": \"127.0.0.1\", \"host\": null, \"reply_ms\": "), std::string::npos);
    EXPECT_NE(report.find("{\"address\": \"127.0.0.2\", \"host\": null, \"reply_ms\": "), std::string::npos);
    EXPECT_NE(report.find("], \"silent\": [\"127.0.0.3\"], \"outcome\": \"no-answer\", \"status\": 10, "
                          "\"message\": \"no answer from 127.0.0.3 (127.0.0.3) within 0.5 s\"}\n"),
              std::string::npos)
        << report;
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;
}

TEST_F(DiscoverTest, ABroadcastAddressOfTheNetworkIsPinged) {
    Responder node(IPv4Address::any(19666), nodeGreetingBytes, 4);
    auto run = discover("--numeric --broadcast 127.255.255.255");
    ASSERT_TRUE(run->finishedWithin(10s));
    if (run->status() == 13) GTEST_SKIP() << "no route for loopback broadcasts here: " << run->err();
    EXPECT_EQ(run->status(), 0) << run->err();
    EXPECT_EQ(node.received(), std::vector<std::string>{masterGreetingBytes});
    const std::string out = run->out();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
}

TEST_F(DiscoverTest, APingThatCannotBeSentIsNotANodeThatIsUnreachable) {
    // In a network namespace of its own, without even a loopback device,
    // there is no route anywhere.
    auto run = std::make_unique<Child>("unshare -n true && exec unshare -n " + shellQuote(binDir() + "/drmaster") +
                                           " discover --broadcast 192.168.1.255",
                                       pathOf("discover"));
    ASSERT_TRUE(run->finishedWithin(10s));
    if (run->status() != 13 && run->err().find("drmaster") == std::string::npos)
        GTEST_SKIP() << "cannot make a network namespace here: " << run->err();
    EXPECT_EQ(run->status(), 13) << run->err();
    EXPECT_NE(run->err().find("cannot send the discovery ping to 192.168.1.255"), std::string::npos) << run->err();
}

TEST_F(DiscoverTest, ASilentNamedHostIsReported) {
    Responder node(IPv4Address::loopback(19666), nodeGreetingBytes, 4);  // 127.0.0.2 has no node
    auto run = discover("--numeric --wait 0.5 127.0.0.1 127.0.0.2");
    ASSERT_TRUE(run->finishedWithin(10s));
    EXPECT_EQ(run->status(), 10);
    EXPECT_TRUE(listing(run->out(), {"127.0.0.1\t-"})) << run->out();
    EXPECT_NE(run->err().find("no answer from 127.0.0.2"), std::string::npos) << run->err();
}

TEST_F(DiscoverTest, RepliesThatAreNotTheNodeGreetingDoNotCount) {
    for (const std::string& reply :
         {std::string("\x27\x18\xC0", 3), std::string("\x27\x18\xC0\xC1", 4), std::string("\x29\x37\xC0\xC0", 4)}) {
        Responder impostor(IPv4Address::loopback(19666), reply, 4);
        auto run = discover("--numeric --wait 0.5 127.0.0.1");
        ASSERT_TRUE(run->finishedWithin(10s));
        EXPECT_EQ(run->status(), 10);
        EXPECT_EQ(run->out(), "");
    }
}

TEST_F(DiscoverTest, AnUnknownHostNameIsAnError) {
    auto run = discover("--wait 0.2 no-such-node.invalid");
    ASSERT_TRUE(run->finishedWithin(30s));
    EXPECT_EQ(run->status(), 3);
    EXPECT_NE(run->err().find("cannot resolve host 'no-such-node.invalid'"), std::string::npos);
}

// 300 nodes answering four times each is more than a socket's default
// receive queue holds (about 250 small datagrams). drmaster is stopped while
// the answers arrive, so that all of them wait in its queue at once. A flood
// before them overflows even the grown queue: the loss must then be said.
TEST_F(DiscoverTest, AFarmAnsweringAtOnceIsListedWholeOrTheLossIsSaid) {
    std::vector<std::unique_ptr<DatagramSocket>> farm;
    std::string names;
    for (uint32_t i = 0; i < 300; ++i) {
        farm.push_back(std::make_unique<DatagramSocket>(IPv4Address{0x7F000100u + i, 19666}));
        ASSERT_TRUE(farm.back()->IsOk());
        names += " " + IPv4Address{0x7F000100u + i, 0}.dotted();
    }
    const std::string pidFile = pathOf("discover.pid");
    for (const int flood : {0, 30000}) {
        Child run("echo $$ >" + shellQuote(pidFile) + "; exec " + shellQuote(binDir() + "/drmaster") +
                      " discover --numeric --wait 3" + names,
                  pathOf("discover"));
        std::vector<IPv4Address> asker(farm.size());
        for (size_t i = 0; i < farm.size(); ++i) {
            ASSERT_TRUE(farm[i]->WaitForRead(20000)) << "no ping at node " << i;
            char ping[8];
            ASSERT_GE(farm[i]->RecvFrom(asker[i], ping, sizeof ping), 0);
        }
        const pid_t pid = std::stoi(readFile(pidFile));
        ASSERT_EQ(::kill(pid, SIGSTOP), 0);
        for (int i = 0; i < flood; ++i) farm[0]->SendTo(asker[0], nodeGreetingBytes.data(), 4);
        for (int copy = 0; copy < 4; ++copy)
            for (size_t i = 0; i < farm.size(); ++i) farm[i]->SendTo(asker[i], nodeGreetingBytes.data(), 4);
        ASSERT_EQ(::kill(pid, SIGCONT), 0);
        ASSERT_TRUE(run.finishedWithin(30s));
        const std::string out = run.out();
        if (flood == 0) {
            EXPECT_EQ(run.status(), 0) << run.err();
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 300) << run.err();
        } else {
            EXPECT_EQ(run.status(), 10);
            EXPECT_LT(std::count(out.begin(), out.end(), '\n'), 300);
            EXPECT_NE(run.err().find("answer(s) for want of room in the receive queue"), std::string::npos)
                << run.err();
        }
    }
}

TEST_F(DiscoverTest, ABroadcastFindsTheNodeOnThisMachine) {
    Responder node(IPv4Address::any(19666), nodeGreetingBytes, 4);
    auto run = discover("--numeric");
    ASSERT_TRUE(run->finishedWithin(10s));
    if (run->status() == 13) GTEST_SKIP() << "no route for broadcasts here: " << run->err();
    EXPECT_EQ(run->status(), 0) << run->err();
    const std::string out = run->out();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_EQ(node.received(), std::vector<std::string>{masterGreetingBytes});
}

}  // namespace
