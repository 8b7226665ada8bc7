// A loopback port that another program holds is reported in a message box.
// The box is answered by a dialog hook, as if the user pressed OK.

#include "node/RecordingWindow.h"

#include "node/HostListener.h"
#include "port/socket.h"

#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/init.h>
#include <wx/modalhook.h>
#include <wx/msgdlg.h>

#include <chrono>
#include <cstdlib>

namespace {

class AnsweringHook : public wxModalDialogHook {
public:
    std::string message, caption;
    long style = 0;
    int shown = 0;

protected:
    int Enter(wxDialog* dialog) override {
        if (auto* box = dynamic_cast<wxMessageDialogBase*>(dialog)) {
            message = box->GetMessage().utf8_string();
            caption = box->GetCaption().utf8_string();
            style = box->GetMessageDialogStyle();
        }
        ++shown;
        return wxID_OK;  // not shown: answered at once
    }
    void Exit(wxDialog*) override {}
};

bool startWx() {
    static const bool started = [] {
        if (!std::getenv("DISPLAY")) return false;
        wxApp::SetInstance(new wxApp);
        static char name[] = "node_gui_tests";
        static char* argv[] = {name, nullptr};
        static int argc = 1;
        return wxEntryStart(argc, argv);
    }();
    return started;
}

}  // namespace

TEST(HostListenerBindFailure, ShowsTheMessageBoxAndKeepsGoing) {
    if (!startWx()) GTEST_SKIP() << "needs an X display (run under tests/support/desktop-session)";
    Varnix::Port::ListeningSocket squatter(Varnix::Port::IPv4Address::loopback(HostListener::port));
    ASSERT_TRUE(squatter.IsOk());

    AnsweringHook boxes;
    boxes.Register();
    RecordingWindow window;
    HostListener host(&window);
    boxes.Unregister();

    EXPECT_EQ(1, boxes.shown);
    EXPECT_EQ("Cannot bind to loopback port (TCP 19667)", boxes.message);
    EXPECT_EQ(wxMessageBoxCaptionStr, wxString::FromUTF8(boxes.caption));
    EXPECT_EQ(wxOK | wxCENTRE, boxes.style & (wxOK | wxCANCEL | wxYES_NO | wxCENTRE));
    EXPECT_TRUE(window.snapshot().empty());  // nothing is logged

    // Without a listener a job's wait for 3ds Max is paced, not spun.
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(host.acceptHost(Varnix::String("/data/")));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}
