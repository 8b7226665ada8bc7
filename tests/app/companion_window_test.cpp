// The companion window of a node service, in this process: the node's own
// log, followed as the node writes it, and its state from the status answer,
// against a real node program and a status stand-in.
#include "app/CompanionWindow.h"
#include "app/DrWindow.h"
#include "app/GuiTestSupport.h"
#include "app/NodeProcess.h"
#include "app/WxText.h"
#include "support/StatusResponder.h"

#include <csignal>
#include <filesystem>
#include <memory>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/weakref.h>

using namespace VarnixTest;

class Companion : public WorkingDirectoryTest {
protected:
    void TearDown() override {
        close();
        WorkingDirectoryTest::TearDown();
    }

    void open(std::uint16_t port = Varnix::discoveryPort) {
        startGuiLibrary();
        window = new CompanionWindow(Varnix::String((dir + "/drData/").c_str()), port);
        windowRef = window;
    }

    // Closes it and runs the loop until the library has destroyed it.
    bool close() {
        if (!windowRef) return true;
        windowRef->Close(true);
        return pumpUntil([&] { return !windowRef; }, 5000);
    }

    std::string viewText() {
        for (wxWindow* child : window->GetChildren())
            if (auto* text = dynamic_cast<wxTextCtrl*>(child)) return text->GetValue().ToStdString();
        return "";
    }
    std::string statusText() { return window->GetStatusBar()->GetStatusText().ToStdString(); }

    bool viewHolds(const std::string& text, int timeoutMs = 15000) {
        return pumpUntil([&] { return viewText().find(text) != std::string::npos; }, timeoutMs);
    }
    bool statusIs(const std::string& text, int timeoutMs = 15000) {
        return pumpUntil([&] { return statusText() == text; }, timeoutMs);
    }

    CompanionWindow* window = nullptr;
    wxWeakRef<CompanionWindow> windowRef;
};

TEST_F(Companion, LooksLikeTheNodesWindowShowsTheServicesStateAndSaysWhenItStopsAnswering) {
    const std::string notRunning = Varnix::String(CompanionWindow::notRunningText).toNarrow();
    auto responder = std::make_unique<StatusResponder>(
        R"({"state": "rendering", "state_seconds": 40, "stop_requested": false, "job": {"master": "192.168.1.5", "frame": 12}})");
    open(responder->port());
    EXPECT_EQ(window->GetTitle(), wxString("Varnix Tarvo | Alpha v6.1 (service companion)"));
    bool labelled = false;
    for (wxWindow* child : window->GetChildren())
        if (auto* label = dynamic_cast<wxStaticText*>(child)) labelled = label->GetLabel() == "Log:";
    EXPECT_TRUE(labelled);
    EXPECT_TRUE(statusIs("Node: rendering for 40 s, job from 192.168.1.5, frame 12")) << statusText();
    EXPECT_EQ(viewText().find(notRunning), std::string::npos);

    std::uint16_t port = responder->port();
    responder.reset();
    EXPECT_TRUE(statusIs(notRunning)) << statusText();
    EXPECT_TRUE(viewHolds("   " + notRunning + "\n"));

    // Back again (the service restarted): the state returns, and the line
    // is not repeated while nobody answers.
    responder = std::make_unique<StatusResponder>(R"({"state": "idle", "state_seconds": 1, "job": null})", port);
    EXPECT_TRUE(statusIs("Node: idle for 1 s")) << statusText();
    std::string text = viewText();
    size_t first = text.find(notRunning);
    EXPECT_EQ(text.find(notRunning, first + 1), std::string::npos) << text;

    // It made nothing in the data folder: no lock, no log, not even drData.
    EXPECT_FALSE(std::filesystem::exists(dir + "/drData"));
}

// What an admin at the machine sees: the lines the node service writes, as
// it writes them, whether the companion came first or second; the companion
// closed leaves the node running; the node stopped is said.
TEST_F(Companion, FollowsARealNodesLogAndClosingItLeavesTheNodeRunning) {
    open();
    // No DrLog.txt yet: the companion waits for it.
    auto node = std::make_unique<NodeProcess>(dir);
    EXPECT_TRUE(viewHolds("   DR server started\n")) << viewText() << node->output();
    EXPECT_TRUE(viewHolds("   Data folder: ")) << viewText();
    // The node's own status answer.
    EXPECT_TRUE(pumpUntil([&] { return statusText().rfind("Node: idle for ", 0) == 0; }, 15000)) << statusText();

    ASSERT_TRUE(close());
    waitUntil([] { return false; }, 500);
    EXPECT_TRUE(node->running()) << node->output();
    EXPECT_EQ(readFile(logPath).find("DR server stopped"), std::string::npos);

    // A companion started while the node runs shows what it wrote before.
    open();
    EXPECT_TRUE(viewHolds("   DR server started\n")) << viewText();
    node->signal(SIGTERM);
    EXPECT_TRUE(viewHolds("   DR server stopped\n")) << viewText();
    int status = -1;
    EXPECT_TRUE(node->waitExit(30000, status));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(statusIs(Varnix::String(CompanionWindow::notRunningText).toNarrow())) << statusText();
}
