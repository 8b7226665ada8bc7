// The render service's start-up in a scratch data directory, on free ports:
// what it starts, and what it reports to its caller instead of showing; and
// the node's owner around it, started and stopped without a window.

#include "support/QuietNode.h"
#include "support/RecordingWindow.h"

#include "core/Exception.h"
#include "support/LogLines.h"
#include "support/TempDirectory.h"
#include "node/LinkPrimitives.h"
#include "node/NodeLife.h"
#include "node/RenderService.h"
#include "port/clock.h"
#include "port/path.h"
#include "port/socket.h"
#include "port/thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>

using namespace Varnix;
using Port::IPv4Address;

using VarnixTest::RecordingWindow;

namespace {

// A port nobody held a moment ago, for the cases that look at it again after
// the service has gone.
std::uint16_t freeUdpPort() {
    Port::DatagramSocket probe(IPv4Address::any(0));
    IPv4Address local;
    return probe.GetLocal(local) ? local.port : 0;
}

std::uint16_t portOf(const Port::ListeningSocket& socket) {
    IPv4Address local;
    return socket.GetLocal(local) ? local.port : 0;
}

class RenderServiceStart : public VarnixTest::TempDirectoryTest {
protected:
    void SetUp() override {
        VarnixTest::TempDirectoryTest::SetUp();
        setup.dataDirectory = String(Varnix::Port::pathFromSystem((directory.string() + "/drData/").c_str()).c_str());
        setup.discoveryPort = setup.hostPort = setup.masterPort = 0;
    }
    void TearDown() override {
        Port::failThreadCreationAfter(-1);
        VarnixTest::TempDirectoryTest::TearDown();
    }
    ServiceSetup setup;
};

}  // namespace

// The discovery thread is running when the server thread cannot be made:
// nothing the constructor started may outlive it, or it would log into a
// window that its owner deletes next.
TEST_F(RenderServiceStart, AThreadThatCannotBeCreatedStopsWhatWasStartedBefore) {
    setup.discoveryPort = freeUdpPort();
    auto window = std::make_unique<RecordingWindow>();
    Port::failThreadCreationAfter(1);
    try {
        RenderService service(window.get(), setup);
        FAIL() << "the service started without its server thread";
    } catch (const Exception& error) {
        EXPECT_EQ(Exception::threadCreationCode, error.getCode());
    }
    Port::failThreadCreationAfter(-1);
    EXPECT_TRUE(window->waitFor("Starting UDP socket, local hostname: "));
    Port::DatagramSocket discovery(IPv4Address::any(setup.discoveryPort));
    EXPECT_TRUE(discovery.IsOk()) << "the discovery replier still runs";
    window.reset();
}

// The service binds what it is given and makes its data directory there,
// and reports what it could not do, in order, without showing anything; a
// configuration that cannot be created stops the start before any port.
TEST_F(RenderServiceStart, ReportsWhatItCouldNotStartInOrderAndShowsNothing) {
    Port::ListeningSocket hostSquatter(IPv4Address::loopback(0)), masterSquatter(IPv4Address::any(0));
    const std::string host = std::to_string(portOf(hostSquatter)), master = std::to_string(portOf(masterSquatter));
    {
        // Every port held by another node (a copy started from another
        // folder): the start fails, so that the node ends after its boxes.
        Port::DatagramSocket discoverySquatter(IPv4Address::any(0));
        IPv4Address local;
        ASSERT_TRUE(discoverySquatter.GetLocal(local));
        ServiceSetup taken = setup;
        taken.discoveryPort = local.port;
        taken.hostPort = portOf(hostSquatter);
        taken.masterPort = portOf(masterSquatter);
        RecordingWindow window;
        RenderService service(&window, taken);
        EXPECT_TRUE(service.startFailed);
        EXPECT_EQ(service.startupFailures.size(), 2u);
    }
    struct Case {
        const char* name;
        bool hostTaken, masterTaken, configUncreatable;
        std::vector<std::string> failures;
    } cases[] = {
        {"all free", false, false, false, {}},
        {"both taken",
         true,
         true,
         false,
         {"Cannot bind to loopback port (TCP " + host + ")",
          "Cannot bind to remote connection port (TCP " + master + ")"}},
        {"config",
         true,
         true,
         true,
         {"Cannot open/read/write file '" + directory.string() +
          "/drData/DrConfig.txt': it is a symbolic link, and the node never writes through one"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.configUncreatable) {
            std::filesystem::remove(directory / "drData/DrConfig.txt");
            std::error_code noLinks;  // symbolic links need a privilege on Windows
            std::filesystem::create_symlink("/nowhere/DrConfig.txt", directory / "drData/DrConfig.txt", noLinks);
            if (noLinks) continue;
        }
        ServiceSetup given = setup;
        if (c.hostTaken) given.hostPort = portOf(hostSquatter);
        if (c.masterTaken) given.masterPort = portOf(masterSquatter);
        RecordingWindow window;
        RenderService service(&window, given);
        std::vector<std::string> failures;
        for (const StartupFailure& failure : service.startupFailures) {
            failures.push_back(std::string(String(failure.text).toNarrow()));
            EXPECT_EQ(std::string(String(failure.caption).toNarrow()),
                      c.configUncreatable ? "Fatal error: Cannot create default config file." : "Message");
        }
        EXPECT_EQ(failures, c.failures);
        EXPECT_TRUE(window.shownBoxes().empty());
        EXPECT_TRUE(std::filesystem::is_directory(directory / "drData"));
        EXPECT_EQ(service.startFailed, c.configUncreatable);
        RenderService::HeldPorts held = service.heldPorts();
        EXPECT_EQ(held.discovery != 0, !c.configUncreatable);
        EXPECT_EQ(held.host != 0, !c.hostTaken);
        EXPECT_EQ(held.master != 0, !c.masterTaken);
        EXPECT_EQ(service.stopIsRequested(), c.masterTaken || c.configUncreatable);
        if (c.configUncreatable) {
            EXPECT_EQ(0, window.countStartingWith("Starting UDP socket"));
        }
    }
}

// A data directory whose name is not UTF-8 (made by a program in a Latin-1
// locale): the directory and DrConfig.txt are made inside it.
TEST_F(RenderServiceStart, DataDirectoryWhoseNameIsNotUtf8) {
    std::filesystem::path odd = directory / "r\xe9seau";
    std::filesystem::create_directory(odd);
    setup.dataDirectory = String(Varnix::Port::pathFromSystem((odd.string() + "/drData/").c_str()).c_str());
    RecordingWindow window;
    {
        RenderService service(&window, setup);
        EXPECT_TRUE(window.waitFor("Starting UDP socket, local hostname: "));
        EXPECT_EQ(odd.string() + "/drData/", Varnix::Port::narrowPath(service.settings.dataDirectory.wideCString()));
    }
    EXPECT_TRUE(std::filesystem::is_regular_file(odd / "drData" / "DrConfig.txt"));
    EXPECT_EQ(0, window.countStartingWith("Cannot read the config file ("));
}

namespace {

using VarnixTest::QuietFace;
using VarnixTest::waitUntil;

}  // namespace

// The stop policy without a window: a first request lets the running job go
// on, a second cuts it (its renderer ends), and "DR server stopped" is the
// last line of DrLog.txt. The renderer, the stand-in, never calls back and
// ends on its own only after three minutes, long after a cut job has ended.
TEST_F(RenderServiceStart, NodeLifesFirstStopWaitsForTheJobTheSecondCutsItAndStoppedIsLast) {
    std::filesystem::create_directories(directory / "max");
    std::filesystem::copy_file(VARNIX_BIN_DIR "/maxstub/3dsmaxcmd.exe", directory / "max/3dsmaxcmd.exe");
    writeBytes("max/maxstub-behaviour.txt", "connect = no\ndumps = 1\ndump_interval_ms = 180000\n");
    std::filesystem::create_directories(directory / "drData");
    writeBytes("drData/DrConfig.txt", "2014 " + (directory / "max").string() + "/\n");
    NodeLife node(setup);
    ASSERT_TRUE(node.claimDataFolder());
    QuietFace face;
    node.start(face);
    ASSERT_FALSE(node.startFailed());

    auto master =
        Port::StreamSocket::connect(IPv4Address::loopback(node.renderService()->heldPorts().master), 5).take();
    ASSERT_TRUE(master);
    ASSERT_EQ(readSignal(master.get(), 10), nodeGreeting);
    ASSERT_EQ(writeSignal(master.get(), masterGreeting, 5), 0);
    master->Write("2014 1", 7);
    ASSERT_EQ(writeSignal(master.get(), 4, 5), 0);
    master->Write("scen", 4);
    // The stage comes before the interpreter's start, its process id right after.
    ASSERT_TRUE(waitUntil(
        [&] {
            NodeState now = node.state();
            return now.stage == NodeStage::waitingForHost && now.job && now.job->rendererPid > 0;
        },
        60));

    EXPECT_TRUE(node.requestStop());
    EXPECT_FALSE(node.stopWaitOver());
    NodeState waiting = node.state();
    EXPECT_EQ(waiting.stage, NodeStage::waitingForHost);
    EXPECT_TRUE(waiting.stopRequested);
    // The job as published: who asked, for what, and its renderer.
    ASSERT_TRUE(waiting.job);
    EXPECT_EQ(waiting.job->master, u"127.0.0.1");
    EXPECT_EQ(waiting.job->maxVersion, 2014);
    EXPECT_EQ(waiting.job->frame, 1);
    EXPECT_GT(waiting.job->rendererPid, 0);
    EXPECT_EQ(waiting.lastJob.outcome, JobOutcome::none);
    EXPECT_TRUE(node.requestStop());
    ASSERT_TRUE(waitUntil([&] { return node.stopWaitOver(); }, 90)) << "the second request did not cut the job";
    EXPECT_FALSE(node.requestStop());
    node.stop();
    NodeState stopped = node.state();
    EXPECT_EQ(stopped.stage, NodeStage::stopping);
    EXPECT_FALSE(stopped.job);
    EXPECT_EQ(stopped.lastJob.outcome, JobOutcome::cut);
    EXPECT_TRUE(stopped.lastJob.rendererExit);
    EXPECT_EQ(stopped.counts.cut, 1u);

    std::vector<std::string> lines;
    std::istringstream log(readText("drData/DrLog.txt"));
    for (std::string line; std::getline(log, line);)
        if (line.size() > 22 && line.compare(19, 3, "   ") == 0) lines.push_back(line.substr(22));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "DR server started");
    EXPECT_EQ(lines.back(), "DR server stopped");
    EXPECT_EQ(VarnixTest::countPrefix(lines, "Waiting for the running job to end before stopping"), 1);
    EXPECT_EQ(VarnixTest::countPrefix(lines, "Stopping now: the running job is cut short"), 1);
}
