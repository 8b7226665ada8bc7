#include "app/CompanionWindow.h"

#include "app/BuiltInIcon.h"
#include "app/LogView.h"
#include "app/MyIcon.h"
#include "app/ViewAnimations.h"
#include "app/WxText.h"
#include "core/LogLine.h"
#include "port/elevate.h"
#include "port/localtime.h"
#include "port/stopsignal.h"

#include <wx/app.h>
#include <wx/sizer.h>
#include <wx/statusbr.h>

namespace {

constexpr int followTimerId = 1;
constexpr int statusTimerId = 2;
constexpr int stopRequestId = 3;

// The name the installer gives the node's service, and the system's own
// program that stops it.
constexpr const char16_t* serviceStopProgram = u"sc.exe";
constexpr const char16_t* serviceStopParameters = u"stop VarnixNode";

wxString windowTitle() {
    Varnix::String text(CompanionWindow::title);
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
    logView = std::make_unique<LogView>(this, sizer);
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
    follower.readNew(logView->waiting());
    logView->update(IsShown());
}

void CompanionWindow::note(const char16_t* text) {
    Varnix::appendLogLine(logView->waiting(), Varnix::Port::localTimeNow(), text);
    logView->update(IsShown());
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

void CompanionWindow::onIconize(wxIconizeEvent& event) {
    if (trayIcon != nullptr) trayIcon->windowIconized(event.IsIconized());
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
