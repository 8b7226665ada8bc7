// The render service's start-up on the fixed ports, in a scratch working
// directory.

#include "support/RecordingWindow.h"

#include "core/Exception.h"
#include "support/TempDirectory.h"
#include "node/RenderService.h"
#include "port/socket.h"
#include "port/thread.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace Varnix;
using Port::IPv4Address;

using VarnixTest::RecordingWindow;

namespace {

class RenderServiceStart : public VarnixTest::TempDirectoryTest {
protected:
    void SetUp() override {
        VarnixTest::TempDirectoryTest::SetUp();
        previous = std::filesystem::current_path();
        std::filesystem::current_path(directory);
    }
    void TearDown() override {
        Port::failThreadCreationAfter(-1);
        std::filesystem::current_path(previous);
        VarnixTest::TempDirectoryTest::TearDown();
    }
    std::filesystem::path previous;
};

}  // namespace

// The discovery thread is running when the server thread cannot be made:
// nothing the constructor started may outlive it, or it would log into a
// window that its owner deletes next.
TEST_F(RenderServiceStart, AThreadThatCannotBeCreatedStopsWhatWasStartedBefore) {
    auto window = std::make_unique<RecordingWindow>();
    Port::failThreadCreationAfter(1);
    try {
        RenderService service(window.get());
        FAIL() << "the service started without its server thread";
    } catch (const Exception& error) {
        EXPECT_EQ(Exception::threadCreationCode, error.getCode());
    }
    Port::failThreadCreationAfter(-1);
    EXPECT_TRUE(window->waitFor("Starting UDP socket, local hostname: "));
    // Everything is closed again: the ports are free at once.
    Port::DatagramSocket discovery(IPv4Address::any(19666));
    EXPECT_TRUE(discovery.IsOk()) << "the discovery replier still runs";
    Port::ListeningSocket host(IPv4Address::loopback(19667));
    EXPECT_TRUE(host.IsOk());
    Port::ListeningSocket master(IPv4Address::any(19668));
    EXPECT_TRUE(master.IsOk());
    window.reset();
}

// Without the hook, start-up and teardown work as usual.
TEST_F(RenderServiceStart, StartsAndStops) {
    RecordingWindow window;
    {
        RenderService service(&window);
        EXPECT_TRUE(window.waitFor("Starting UDP socket, local hostname: "));
        EXPECT_TRUE(std::filesystem::is_directory(directory / "drData"));
    }
    Port::DatagramSocket discovery(IPv4Address::any(19666));
    EXPECT_TRUE(discovery.IsOk());
}

// A master port that another program holds is reported in a message box;
// the service goes on without masters and stops as usual.
TEST_F(RenderServiceStart, MasterPortTakenShowsTheMessageBoxAndServesNoMasters) {
    Port::ListeningSocket squatter(IPv4Address::any(RenderService::masterPort));
    ASSERT_TRUE(squatter.IsOk());
    RecordingWindow window;
    {
        RenderService service(&window);
        std::vector<RecordingWindow::Box> boxes = window.shownBoxes();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ("Cannot bind to remote connection port (TCP 19668)", boxes[0].text);
        EXPECT_EQ("Message", boxes[0].caption);
        EXPECT_TRUE(service.stopRequested);
    }
    EXPECT_EQ(1u, window.shownBoxes().size());
}

// A working directory whose name is not UTF-8 (made by a program in a Latin-1
// locale): the data directory and DrConfig.txt are made inside it.
TEST_F(RenderServiceStart, WorkingDirectoryWhoseNameIsNotUtf8) {
    std::filesystem::path odd = directory / "r\xe9seau";
    std::filesystem::create_directory(odd);
    std::filesystem::current_path(odd);
    RecordingWindow window;
    {
        RenderService service(&window);
        EXPECT_TRUE(window.waitFor("Starting UDP socket, local hostname: "));
        EXPECT_EQ(odd.string() + "/drData/", service.settings.dataDirectory.toFileName());
    }
    EXPECT_TRUE(std::filesystem::is_directory(odd / "drData"));
    EXPECT_TRUE(std::filesystem::is_regular_file(odd / "drData" / "DrConfig.txt"));
    EXPECT_EQ(0, window.countStartingWith("Cannot read the config file ("));
}
