#include "app/CompanionWindow.h"

#include "app/BuiltInIcon.h"
#include "app/DrWindow.h"
#include "app/MyIcon.h"
#include "app/ViewAnimations.h"
#include "app/WxText.h"
#include "core/LogLine.h"
#include "port/elevate.h"
#include "port/localtime.h"
#include "port/stopsignal.h"

#include <wx/app.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>

namespace {

constexpr int followTimerId = 1;
constexpr int statusTimerId = 2;
constexpr int stopRequestId = 3;

// The name the installer gives the node's service, and the system's own
// program that stops it.
constexpr const char16_t* serviceStopProgram = u"sc.exe";
constexpr const char16_t* serviceStopParameters = u"stop VarnixNode";

wxString windowTitle() {
    Varnix::String text(DrWindow::title);
    return Varnix::toWxString(text);
}

}  // namespace

CompanionWindow::CompanionWindow(const Varnix::String& dataDirectory, std::uint16_t statusPort)
    : wxFrame(nullptr, wxID_ANY, windowTitle(), wxDefaultPosition, wxDefaultSize, wxDEFAULT_FRAME_STYLE),
      follower(dataDirectory + Varnix::String(u"DrLog.txt"), dataDirectory + Varnix::String(u"DrLog.1.txt")),
      query(statusPort) {
    followTimer.SetOwner(this, followTimerId);
    Bind(wxEVT_TIMER, &CompanionWindow::onFollow, this, followTimerId);
    statusTimer.SetOwner(this, statusTimerId);
    Bind(wxEVT_TIMER, &CompanionWindow::onStatus, this, statusTimerId);

    // The node's window: the same label over the same view; the node's
    // state below it.
    stopViewAnimations();
    wxBoxSizer* sizer = new wxBoxSizer(wxVERTICAL);
    logView =
        new wxTextCtrl(this, wxID_ANY, wxString(), wxDefaultPosition, wxSize(600, 400), wxTE_MULTILINE | wxTE_READONLY);
    wxStaticText* label = new wxStaticText(this, wxID_ANY, wxT("Log:"), wxDefaultPosition, wxDefaultSize, 0);
    sizer->Add(label, 0, 0, 0);
    sizer->Add(logView, 1, wxEXPAND, 0);
    CreateStatusBar(1);
    showStatus(Varnix::String(askingText));

    Bind(wxEVT_CLOSE_WINDOW, &CompanionWindow::onClose, this);
    Bind(wxEVT_ICONIZE, &CompanionWindow::onIconize, this);
    Bind(wxEVT_MENU, &CompanionWindow::onStopService, this, MyIcon::stopNodeServiceId);
    Varnix::Port::keepCloseFromHelperWindows(reinterpret_cast<void*>(GetHandle()));

    windowIcon = makeBuiltInIcon();
    SetIcon(windowIcon);
    SetSizerAndFit(sizer);

    trayIcon = new MyIcon(this, Varnix::Port::canRunElevated());
    // Shows the frame, which starts following the log.
    trayIcon->showWindow();
    query.ask();
    statusTimer.Start(statusPeriodMs, wxTIMER_CONTINUOUS);

    Bind(wxEVT_THREAD, &CompanionWindow::onStopRequest, this, stopRequestId);
    pollingStopRequests = !Varnix::Port::notifyStopRequests(&CompanionWindow::stopRequested, this);
    stopRequested(this);
}

CompanionWindow::~CompanionWindow() {
    Varnix::Port::notifyStopRequests(nullptr, nullptr);
    followTimer.Stop();
    statusTimer.Stop();
}

bool CompanionWindow::Show(bool show) {
    bool changed = wxFrame::Show(show);
    if (closing) return changed;
    // Hidden, the log is read rarely and what it gained is held.
    followTimer.Start(show ? followPeriodMs : hiddenFollowPeriodMs, wxTIMER_CONTINUOUS);
    if (show) followLog();
    return changed;
}

void CompanionWindow::onFollow(wxTimerEvent&) { followLog(); }

void CompanionWindow::followLog() {
    Varnix::String text;
    follower.readNew(text);
    show(text);
}

void CompanionWindow::show(Varnix::String& text) {
    for (std::int32_t i = 0; i < text.length(); ++i)
        if (text[i] == u'\n') ++heldLines;
    heldText.append(text);
    if (heldLines > DrWindow::maxViewLines) {
        // Only the newest lines, as the view would keep them.
        std::int32_t end = 0;
        for (int dropped = 0; end < heldText.length() && dropped < heldLines - DrWindow::trimmedViewLines; ++end)
            if (heldText[end] == u'\n') ++dropped;
        heldText.erase(0, end);
        heldLines = DrWindow::trimmedViewLines;
    }
    // In the tray nothing is laid out or drawn.
    if (!IsShown() || heldText.length() == 0) return;
    *logView << Varnix::toWxString(heldText);
    heldText.clear();
    heldLines = 0;
    int lines = logView->GetNumberOfLines();
    if (lines > DrWindow::maxViewLines) {
        long end = logView->XYToPosition(0, lines - DrWindow::trimmedViewLines);
        if (end > 0) logView->Remove(0, end);
    }
}

void CompanionWindow::note(const char16_t* text) {
    Varnix::String line;
    Varnix::appendLogLine(line, Varnix::Port::localTimeNow(), text);
    show(line);
}

void CompanionWindow::showStatus(const Varnix::String& text) {
    Varnix::String shown(text);
    SetStatusText(Varnix::toWxString(shown));
}

void CompanionWindow::onStatus(wxTimerEvent&) {
    if (pollingStopRequests) takeStopRequests();
    checkStatus();
}

void CompanionWindow::checkStatus() {
    Varnix::NodeStatus status;
    if (query.takeAnswer(status)) {
        unanswered = 0;
        answering = Answering::yes;
        showStatus(Varnix::describeStatus(status));
    } else if (++unanswered >= unansweredForNotRunning && answering != Answering::no) {
        answering = Answering::no;
        showStatus(Varnix::String(notRunningText));
        // In the view as well, where the eye is: once each time it stops.
        note(notRunningText);
    }
    query.ask();
}

void CompanionWindow::onStopService(wxCommandEvent&) {
    // The service manager's stop: the node ends the way it does for any
    // stop request. Declining the prompt changes nothing.
    if (!Varnix::Port::runElevated(serviceStopProgram, serviceStopParameters))
        note(u"The node service was not asked to stop");
}

void CompanionWindow::stopRequested(void* window) {
    wxQueueEvent(static_cast<CompanionWindow*>(window), new wxThreadEvent(wxEVT_THREAD, stopRequestId));
}

void CompanionWindow::onStopRequest(wxThreadEvent&) { takeStopRequests(); }

void CompanionWindow::takeStopRequests() {
    // A stop request from outside ends the companion, never the node.
    if (stopRequestsSeen < Varnix::Port::stopRequests()) {
        stopRequestsSeen = Varnix::Port::stopRequests();
        Close(true);
    }
}

void CompanionWindow::onIconize(wxIconizeEvent&) {
    // Iconize and restore alike, as the node's window does: wxGTK reports a
    // restore when the hidden frame is unmapped.
    Show(false);
    if (trayIcon != nullptr) trayIcon->showInTray();
}

void CompanionWindow::onClose(wxCloseEvent& event) {
    if (closing) return;
    // Nothing to wait for: the node, if any, is the service's and runs on.
    closing = true;
    followTimer.Stop();
    statusTimer.Stop();
    if (trayIcon != nullptr) {
        // "Quit" gets here from inside the icon's own PopupMenu.
        trayIcon->RemoveIcon();
        trayIcon->Destroy();
        trayIcon = nullptr;
    }
    event.Skip();
    // A frame hidden in the tray waits for an idle turn to be destroyed.
    wxWakeUpIdle();
}
