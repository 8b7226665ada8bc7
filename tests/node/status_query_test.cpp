// The companion's reading of the node's status answer: the fields it shows,
// answers it must refuse, and the exchange over a real loopback socket.
#include "node/StatusQuery.h"
#include "support/StatusResponder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace VarnixTest;

namespace {

std::string described(const std::string& json, bool* parsed = nullptr, std::uint32_t signal = Varnix::statusAnswer) {
    std::string datagram(4, '\0');
    Varnix::encodeSignal(signal, reinterpret_cast<unsigned char*>(&datagram[0]));
    datagram += json;
    Varnix::NodeStatus status;
    bool ok =
        Varnix::parseStatusAnswer(reinterpret_cast<const unsigned char*>(datagram.data()), datagram.size(), status);
    if (parsed) *parsed = ok;
    return ok ? Varnix::describeStatus(status).toNarrow() : "(refused)";
}

}  // namespace

TEST(StatusQuery, ShowsStateJobAndDialogAndRefusesWhatIsNoAnswer) {
    const std::string job = R"("job": {"master": "192.168.1.5", "max_version": "2016", "frame": 12, "seconds": 40,
        "dumps_sent": 3, "renderer_pid": 4242, "dialog": )";
    struct Case {
        std::string json;
        std::string shown;
    } cases[] = {
        {R"({"name": "n1", "version": "6.1.0", "state": "idle", "state_seconds": 12, "stop_requested": false,
            "job": null, "limits": {"rendererRenderSeconds": 0}, "max_versions": ["2014", "2016"],
            "last_job": {"outcome": "served", "why": "a \"quoted\" why"}, "truncated": true})",
         "Node: idle for 12 s"},
        {"{\"state\": \"rendering\", \"state_seconds\": 40, \"stop_requested\": false, " + job + "null}}",
         "Node: rendering for 40 s, job from 192.168.1.5, frame 12"},
        {"{\"state\": \"waiting_for_3dsmax\", \"state_seconds\": 3, \"stop_requested\": true, " + job +
             R"({"pid": 4243, "title": "Missing \u00e9 \ud83d\ude00", "text": "x"}}})",
         "Node: waiting for 3dsmax for 3 s, job from 192.168.1.5, frame 12, a renderer dialog waits for a click, "
         "stop requested"},
        // Not an answer of a node: refused, so the window keeps its last word.
        {R"({"state": "idle")", "(refused)"},
        {R"(["idle"])", "(refused)"},
        {R"({"state": "idle"} trailing)", "(refused)"},
        {R"({"a": {"b": {"c": {"d": {"e": {"f": {"g": {"h": {"i": {"j": 1}}}}}}}}}})", "(refused)"},
        {"", "(refused)"},
    };
    for (const Case& c : cases) EXPECT_EQ(described(c.json), c.shown) << c.json;
    bool parsed = true;
    described(R"({"state": "idle"})", &parsed, Varnix::nodeGreeting);
    EXPECT_FALSE(parsed) << "another signal";
}

TEST(StatusQuery, AsksOverLoopbackAndHearsNothingOnceTheNodeHasGone) {
    StatusResponder node(R"({"state": "finishing", "state_seconds": 2, "job": null})");
    ASSERT_NE(node.port(), 0);
    Varnix::StatusQuery query(node.port());
    Varnix::NodeStatus status;
    EXPECT_FALSE(query.takeAnswer(status));
    ASSERT_TRUE(query.ask());
    bool answered = false;
    for (int i = 0; i < 500 && !answered; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        answered = query.takeAnswer(status);
    }
    ASSERT_TRUE(answered);
    EXPECT_EQ(status.state, "finishing");
    EXPECT_EQ(status.stateSeconds, 2);
    // The request is as long as the answer it takes: one Ethernet frame.
    EXPECT_EQ(node.answered(), 1);
    node.stop();
    EXPECT_TRUE(query.ask());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(query.takeAnswer(status));
}
