// The status answer of the real node (its owner, without a window) with the
// 3ds Max stand-in as its renderer, asked over UDP as a farm page asks: in
// every stage of a job, with a hung renderer, while a stop waits, through a
// flood; never longer than the request. The stand-in connects to the fixed
// 3ds Max port, so each case runs in a network of its own.

#include "support/QuietNode.h"
#include "support/StatusAsker.h"
#include "support/TempDirectory.h"

#include "node/LinkPrimitives.h"
#include "node/NodeLife.h"
#include "node/Protocol.h"
#include "node/StatusClient.h"
#include "port/clock.h"
#include "port/path.h"
#include "port/socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

using namespace Varnix;
using Port::IPv4Address;
using VarnixTest::askStatusUntilAnswered;
using VarnixTest::jsonValue;
using VarnixTest::statusJson;

namespace {

using VarnixTest::QuietFace;
using VarnixTest::waitUntil;

// A master that greets and asks for frame 3 of a 2014 scene; `sceneBytes`
// of the scene's announced 1000 are sent (all of them: a whole scene).
std::unique_ptr<Port::StreamSocket> startJob(NodeLife& node, int sceneBytes) {
    auto master =
        Port::StreamSocket::connect(IPv4Address::loopback(node.renderService()->heldPorts().master), 5).take();
    if (!master || readSignal(master.get(), 10) != nodeGreeting) return nullptr;
    writeSignal(master.get(), masterGreeting, 5);
    master->Write("2014 3", 7);
    writeSignal(master.get(), 1000, 5);
    std::string scene(std::size_t(sceneBytes), 's');
    master->Write(scene.data(), scene.size());
    return master;
}

class NodeStatus : public VarnixTest::TempDirectoryTest {
protected:
    // Starts a node in `folder` whose 2014 release is the stand-in with
    // `behaviour`.
    void startNode(const std::string& behaviour, const std::string& folder = "node") {
        std::filesystem::path max = directory / folder / "max", data = directory / folder / "drData";
        std::filesystem::create_directories(max);
        std::filesystem::create_directories(data);
        std::filesystem::copy_file(VARNIX_BIN_DIR "/maxstub/3dsmaxcmd.exe", max / "3dsmaxcmd.exe");
        writeBytes(folder + "/max/maxstub-behaviour.txt", behaviour);
        writeBytes(folder + "/drData/DrConfig.txt", "2014 " + max.string() + "/\n");
        setup.dataDirectory = String(Varnix::Port::pathFromSystem((data.string() + "/").c_str()).c_str());
        node = std::make_unique<NodeLife>(setup);
        ASSERT_TRUE(node->claimDataFolder());
        node->start(face);
        ASSERT_FALSE(node->startFailed());
        port = node->renderService()->heldPorts().discovery;
    }
    // Cuts a running job as a second stop request does, and stops.
    void stopNode() {
        if (!node) return;
        while (node->requestStop() && !waitUntil([&] { return node->stopWaitOver(); }, 1)) {
        }
        node->stop();
        node.reset();
    }
    void SetUp() override {
        VarnixTest::TempDirectoryTest::SetUp();
        // The stand-in knows only the fixed 3ds Max port.
        setup.discoveryPort = setup.masterPort = 0;
    }
    void TearDown() override {
        stopNode();
        VarnixTest::TempDirectoryTest::TearDown();
    }
    std::string ask() { return statusJson(askStatusUntilAnswered(port)); }

    ServiceSetup setup;
    QuietFace face;
    std::unique_ptr<NodeLife> node;
    std::uint16_t port = 0;
};

}  // namespace

// The answer in every stage a job holds, each held by the stand-in (or the
// master) for as long as the test looks: the stage, the job and what the
// renderer did. "silent" is a renderer that connected and then does
// nothing at all: the answer shows it rendering, with no dump and its
// silence growing.
TEST_F(NodeStatus, AnswersInEachStageWithTheJobAsItStands) {
    struct Case {
        const char* name;
        const char* behaviour;
        int sceneBytes;
        NodeStage stage;
        const char* state;
        const char* dumps;
        bool rendererPid;
        bool silentForAWhile;
    };
    const Case cases[] = {
        {"scene_coming", "", 10, NodeStage::receivingScene, "receiving_scene", "0", false, false},
        {"not_connecting", "connect = no\ndumps = 1\ndump_interval_ms = 180000\n", 1000, NodeStage::waitingForHost,
         "waiting_for_3dsmax", "0", true, false},
        {"rendering", "dumps = 1\ndump_interval_ms = 0\nhang_until_end = yes\n", 1000, NodeStage::rendering,
         "rendering", "1", true, false},
        {"hung", "hang = silent\n", 1000, NodeStage::rendering, "rendering", "0", true, true},
        {"not_exiting", "dumps = 1\ndump_interval_ms = 0\nhang = close_link\n", 1000, NodeStage::finishing, "finishing",
         "1", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startNode(c.behaviour, c.name);
        if (!node) return;
        auto master = startJob(*node, c.sceneBytes);
        ASSERT_TRUE(master);
        // The stage comes before the interpreter's start, its process id right after.
        ASSERT_TRUE(waitUntil(
            [&] {
                NodeState now = node->state();
                return now.stage == c.stage && now.job && now.job->dumpsSent == std::stoul(c.dumps) &&
                       (!c.rendererPid || now.job->rendererPid > 0);
            },
            60));
        // Silence counts from the tree's last sign of life, which its start
        // may give for a while on a slow machine: wait for it to grow.
        if (c.silentForAWhile) {
            EXPECT_TRUE(waitUntil(
                [&] {
                    NodeState now = node->state();
                    return now.job && now.job->lastActivityMs >= 0 &&
                           now.job->lastActivityMs < Port::elapsedMilliseconds() - 2500;
                },
                60));
        }
        std::string json = ask();
        EXPECT_EQ(jsonValue(json, "state"), c.state) << json;
        EXPECT_EQ(jsonValue(json, "master"), "127.0.0.1");
        EXPECT_EQ(jsonValue(json, "max_version"), "2014");
        EXPECT_EQ(jsonValue(json, "frame"), "3");
        EXPECT_EQ(jsonValue(json, "dumps_sent"), c.dumps);
        EXPECT_EQ(jsonValue(json, "bytes_sent") != "0", c.dumps != std::string("0"));
        EXPECT_EQ(jsonValue(json, "renderer_pid") != "null", c.rendererPid);
        if (c.silentForAWhile) {
            EXPECT_GE(std::stoi(jsonValue(json, "renderer_silent_seconds")), 2) << json;
        }
        EXPECT_EQ(jsonValue(json, "last_job"), "null");
        EXPECT_EQ(jsonValue(json, "stop_requested"), "false");
        stopNode();
    }
}

// A stop that waits for a job: the job's stage with the stop asked for;
// once the second request has cut the job, stopping, with the job's end.
// Idle before it all, and a served job's end after a good one.
TEST_F(NodeStatus, AnswersIdleAfterAServedJobAndWhileAStopWaits) {
    startNode("dumps = 1\ndump_interval_ms = 0\nhang_until_end = yes\n");
    std::string json = ask();
    EXPECT_EQ(jsonValue(json, "state"), "idle") << json;
    EXPECT_EQ(jsonValue(json, "job"), "null");
    EXPECT_EQ(jsonValue(json, "max_versions"), "[\"2014\"]");
    EXPECT_NE(jsonValue(json, "free_disk_mb"), "");

    // A job that ends well: END from the master after the dump.
    auto master = startJob(*node, 1000);
    ASSERT_TRUE(waitUntil([&] { return node->state().job && node->state().job->dumpsSent == 1; }, 60));
    writeSignal(master.get(), endSignal, 5);
    ASSERT_TRUE(waitUntil([&] { return node->state().lastJob.outcome != JobOutcome::none; }, 60));
    json = ask();
    EXPECT_EQ(jsonValue(json, "state"), "idle") << json;
    EXPECT_EQ(jsonValue(json, "outcome"), "served") << json;
    EXPECT_EQ(jsonValue(json, "renderer_exit"), "0");
    EXPECT_EQ(jsonValue(json, "jobs_served"), "1");
    EXPECT_EQ(jsonValue(json, "renderer_exits"), "{\"0\":1}");

    master = startJob(*node, 1000);
    ASSERT_TRUE(waitUntil([&] { return node->state().job && node->state().job->dumpsSent == 1; }, 60));
    EXPECT_TRUE(node->requestStop());
    json = ask();
    EXPECT_EQ(jsonValue(json, "state"), "rendering") << json;
    EXPECT_EQ(jsonValue(json, "stop_requested"), "true");
    EXPECT_TRUE(node->requestStop());
    ASSERT_TRUE(waitUntil([&] { return node->stopWaitOver(); }, 90));
    json = ask();
    EXPECT_EQ(jsonValue(json, "state"), "stopping") << json;
    EXPECT_EQ(jsonValue(json, "outcome"), "cut");
    EXPECT_EQ(jsonValue(json, "jobs_cut"), "1");
}

// No answer is longer than its request, whatever its length: too short for
// any answer, none; a little short, the answer trimmed; long enough, whole.
// Through a flood of junk and of requests from another address (as forged
// ones would come), an honest asker is still answered, and the flood's own
// requests are answered no more often than the ration allows.
TEST_F(NodeStatus, NeverAnswersLongerThanTheRequestAndAnswersThroughAFlood) {
    startNode("");
    std::size_t full = askStatusUntilAnswered(port, 60, 65000).size();
    ASSERT_GT(full, 100u);
    Port::sleepMilliseconds(3000);  // the ration fills again
    struct Case {
        std::size_t bytes;
        const char* truncated;  // null: no answer
    } cases[] = {{0, nullptr}, {3, nullptr}, {7, nullptr}, {8, nullptr}, {full - 1, "true"}, {full + 16, ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        std::string answer = VarnixTest::askStatus(port, c.bytes, 1);
        EXPECT_LE(answer.size(), c.bytes);
        EXPECT_EQ(answer.empty(), c.truncated == nullptr);
        if (c.truncated != nullptr) {
            EXPECT_EQ(jsonValue(statusJson(answer), "truncated"), c.truncated);
        }
    }

    IPv4Address stranger;
    ASSERT_TRUE(IPv4Address::resolve("127.0.0.2", 0, stranger));
    std::atomic<bool> flooding{true};
    std::atomic<long> answersToFlood{0}, tooLong{0};
    auto start = std::chrono::steady_clock::now();
    std::thread flood([&] {
        Port::DatagramSocket junkSender(IPv4Address::loopback(0)), asker(stranger);
        std::string junk(64, 'j');
        std::string request(statusRequestBytes, '\0');
        encodeSignal(statusRequest, reinterpret_cast<unsigned char*>(&request[0]));
        char buffer[65536];
        for (long i = 0; flooding; ++i) {
            junkSender.SendTo(IPv4Address::loopback(port), junk.data(), junk.size());
            if (i % 4 == 0) asker.SendTo(IPv4Address::loopback(port), request.data(), i % 8 ? request.size() : 8);
            IPv4Address from;
            for (int got; (got = asker.RecvFrom(from, buffer, sizeof buffer)) >= 0;) {
                ++answersToFlood;
                if (std::size_t(got) > request.size()) ++tooLong;
            }
        }
    });
    int answered = 0;
    for (int i = 0; i < 5; ++i)
        if (!statusJson(askStatusUntilAnswered(port, 60)).empty()) ++answered;
    // Honest askers each have a ration of their own and may be done at once:
    // the flood goes on until it was answered too.
    waitUntil([&] { return answersToFlood > 0; }, 30);
    flooding = false;
    flood.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(answered, 5);
    EXPECT_GT(answersToFlood, 0);
    EXPECT_LE(answersToFlood, statusAnswersAtOnce + statusAnswersPerSecond * (seconds + 1));
    EXPECT_EQ(tooLong, 0);
}

// The tools of one admin's machine share its address: one that asks a lot
// must not leave the others without answers.
TEST_F(NodeStatus, TwoAskersOnOneAddressAreBothAnswered) {
    startNode("");
    ASSERT_FALSE(askStatusUntilAnswered(port, 60).empty());
    Port::DatagramSocket greedy(IPv4Address::loopback(0));
    const std::vector<unsigned char> request = statusRequestDatagram();
    for (int i = 0; i < 3 * statusAnswersAtOnce; ++i)
        greedy.SendTo(IPv4Address::loopback(port), request.data(), request.size());
    EXPECT_FALSE(VarnixTest::askStatus(port, request.size(), 30).empty());
}
