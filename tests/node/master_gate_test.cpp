// The master port's greeting phase on a free loopback port, in-process: who
// is handed to a job, in which order, and which lines the rest leave. Each
// client runs on a thread of its own; no assertion is on elapsed time.
#include "node/LinkPrimitives.h"
#include "node/MasterGate.h"
#include "support/RecordingWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using Varnix::MasterConnection;
using Varnix::MasterGate;
using Varnix::Port::StreamSocket;

namespace {

const std::string masterGreetingBytes("\x29\x37\xC0\xC0", 4);

struct Client {
    int connectAfterMs;  // from the start of the case
    int answerAfterMs;   // from the node greeting; -1: stays silent; -2: closes at once, unread
    std::string bytes;   // sent then
};

struct GateCase {
    const char* what;
    std::vector<Client> clients;
    std::vector<std::string> handedOver;  // their parameter strings, in the order the gate gave them
    std::vector<std::string> lines;       // "Accepted remote connection from" cut to "Accepted"
    int jobMs = 0;                        // how long each master handed over holds the gate, as its job would
};

void PrintTo(const GateCase& c, std::ostream* out) { *out << c.what; }

// Connects, takes the greeting, answers, and holds the connection until the
// node closes it (or 30 s pass).
void play(const Client& c, std::uint16_t port, std::atomic<int>& done) {
    std::this_thread::sleep_for(std::chrono::milliseconds(c.connectAfterMs));
    std::unique_ptr<StreamSocket> s = StreamSocket::connect(Varnix::Port::IPv4Address::loopback(port), 5).take();
    if (s && c.answerAfterMs == -2) s.reset();
    if (s) {
        EXPECT_EQ(Varnix::readSignal(s.get(), 10), 0xC0C01827u);  // the node greeting comes first, unasked
        if (c.answerAfterMs >= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(c.answerAfterMs));
            s->SetTimeout(5);
            s->Write(c.bytes.data(), std::uint32_t(c.bytes.size()));
        }
        for (int i = 0; i < 300 && !s->IsClosed(); ++i) s->WaitForRead(100);
    }
    ++done;
}

class MasterGateTest : public testing::TestWithParam<GateCase> {};

TEST_P(MasterGateTest, HandsOverCompleteMastersInTheOrderTheyConnectedAndDropsTheRest) {
    const GateCase& c = GetParam();
    Varnix::Port::ListeningSocket listener(Varnix::Port::IPv4Address::loopback(0));
    Varnix::Port::IPv4Address local;
    ASSERT_TRUE(listener.GetLocal(local));
    listener.SetTimeout(2);
    VarnixTest::RecordingWindow window;
    std::atomic<int> done{0};
    std::vector<std::thread> clients;
    for (const Client& client : c.clients) clients.emplace_back(play, std::cref(client), local.port, std::ref(done));

    MasterGate gate(&listener, &window);
    std::atomic<bool> stop{false};
    std::vector<std::string> handedOver;
    while (!stop) {
        std::unique_ptr<MasterConnection> master = gate.nextMaster(stop, [&] { stop = done == int(c.clients.size()); });
        if (!master) continue;
        master->announce();
        master->announce();  // written once
        std::this_thread::sleep_for(std::chrono::milliseconds(c.jobMs));
        // Closed by whoever holds it: "Ready for new connection" after its lines.
        handedOver.push_back(master->parameters.toNarrow());
        master->close();
    }
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(handedOver, c.handedOver);
    std::vector<std::string> lines;
    for (const std::string& l : window.snapshot())
        lines.push_back(l.rfind("Accepted remote connection from ", 0) == 0 ? "Accepted" : l);
    EXPECT_EQ(lines, c.lines);
}

const std::string bogus = "Got bogus master connection", ready = "Ready for new connection";

INSTANTIATE_TEST_SUITE_P(
    Cases, MasterGateTest,
    testing::Values(
        // Greeted while the first was still silent, the second sends its
        // whole job first: the first keeps its turn, and the second is
        // served after that job.
        GateCase{"slow master first",
                 {{0, 400, masterGreetingBytes + std::string("2014 1", 7)},
                  {250, 0, masterGreetingBytes + std::string("2014 2", 7)}},
                 {"2014 1", "2014 2"},
                 {"Accepted", ready, "Accepted", ready},
                 1000},
        // A wrong greeting goes at once; a silent client ahead keeps an
        // honest master waiting only for its own 5 s.
        GateCase{"silent and wrong clients ahead",
                 {{0, -1, ""}, {300, 0, "GET /"}, {600, 0, masterGreetingBytes + std::string("2013 3", 7)}},
                 {"2013 3"},
                 {bogus, ready, bogus, ready, "Accepted", ready}},
        // A port check (connect, close) on a waiting node is bogus, however
        // soon it closes.
        GateCase{"port check",
                 {{0, -2, ""}, {300, 0, masterGreetingBytes + std::string("2013 3", 7)}},
                 {"2013 3"},
                 {bogus, ready, "Accepted", ready}},
        // Over the limit, or never ended (10 s): each goes with its line,
        // and the master behind the late one waits for it.
        GateCase{"parameters too long or late",
                 {{0, 0, masterGreetingBytes + std::string(257, 'a')},
                  {500, 0, masterGreetingBytes + "2014 1"},
                  {1000, 0, masterGreetingBytes + std::string("2014 4", 7)}},
                 {"2014 4"},
                 {"Accepted", "Job parameters longer than 256 bytes", ready, "Accepted",
                  "Job parameters not complete within 10 s", ready, "Accepted", ready}}),
    [](const testing::TestParamInfo<GateCase>& info) {
        std::string name;
        for (const char* p = info.param.what; *p; ++p)
            if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
        return name;
    });

}  // namespace
