#include "app/DrWindow.h"

#include "app/BuiltInIcon.h"
#include "app/LogView.h"
#include "app/MyIcon.h"
#include "app/ViewAnimations.h"
#include "app/WxText.h"
#include "port/stopsignal.h"

#include <wx/app.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>

namespace {

constexpr int logWrittenId = 0;
constexpr int stopWatchTimerId = 1;
constexpr int stopRequestId = 2;
constexpr int stopWatchPeriodMs = 100;
constexpr int heldTakeTimerId = 3;
// Hidden, the window takes the written text this often instead of being
// woken for each flush: only to keep the sink's store of it small.
constexpr int heldTakePeriodMs = 5000;

}  // namespace

DrWindow::DrWindow(Varnix::NodeLife* life)
    : wxFrame(
          nullptr, wxID_ANY,
          [] {
              Varnix::String text(title);
              return Varnix::toWxString(text);
          }(),
          wxDefaultPosition, wxDefaultSize, wxDEFAULT_FRAME_STYLE),
      ownLife(life == nullptr ? std::make_unique<Varnix::NodeLife>() : nullptr),
      node(life == nullptr ? *ownLife : *life) {
    // Set up first: a close request during start-up may start it.
    stopWatchTimer.SetOwner(this, stopWatchTimerId);
    Bind(wxEVT_TIMER, &DrWindow::onStopWatch, this, stopWatchTimerId);
    heldTakeTimer.SetOwner(this, heldTakeTimerId);
    Bind(wxEVT_TIMER, &DrWindow::onHeldTake, this, heldTakeTimerId);
    // Lines arrive in batches twice a second: each is shown without
    // redrawing the view frame by frame.
    stopViewAnimations();
    wxBoxSizer* sizer = new wxBoxSizer(wxVERTICAL);
    logView = std::make_unique<LogView>(this, sizer);

    Bind(wxEVT_CLOSE_WINDOW, &DrWindow::onClose, this);
    Bind(wxEVT_ICONIZE, &DrWindow::onIconize, this);
    // An installer's stop reaches every window of the process; only this
    // one may take it, or the timers that finish the stop are gone with
    // their hidden window.
    Varnix::Port::keepCloseFromHelperWindows(reinterpret_cast<void*>(GetHandle()));

    windowIcon = makeBuiltInIcon();
    SetIcon(windowIcon);
    SetSizerAndFit(sizer);

    // "DR server started", the render service, its start-up failures shown
    // here, the start-up report, DrLog.txt opened: the node stops what it
    // started when that fails.
    node.start(*this);
    // The configuration's fatal error: the admin has seen why, and the
    // window goes the way a close request takes it (the service stopped,
    // no tray icon, never shown).
    if (node.startFailed()) forceClose();

    // A close request may have come already (the configuration's fatal
    // error): the window is on its way out then, so it gets no tray icon,
    // is not shown, and is told of no written text (on Windows an event
    // queued to it keeps its deletion, and so the end of the program,
    // waiting for ever).
    if (!closeRequested) {
        // The view follows the file at the sink's pace: woken when the sink
        // has written lines, never by a timer of its own while the node is
        // quiet. Showing the window takes what was written before.
        Bind(wxEVT_THREAD, &DrWindow::onLogWritten, this, logWrittenId);
        node.logSink().notifyWritten(&DrWindow::logWritten, this);
        trayIcon = new MyIcon(this);
        trayIcon->showWindow();
    }

    // A window already on its way out takes no more stop requests: on
    // Windows an event queued to it keeps its deletion, and so the end of
    // the program, waiting for ever.
    if (closeRequested) return;
    Bind(wxEVT_THREAD, &DrWindow::onStopRequest, this, stopRequestId);
    // Stop requests come as events; only where they cannot be told are
    // they polled. Those that came before now are taken at the first turn.
    pollingStopRequests = !Varnix::Port::notifyStopRequests(&DrWindow::stopRequested, this);
    if (pollingStopRequests) stopWatchTimer.Start(stopWatchPeriodMs, wxTIMER_CONTINUOUS);
    stopRequested(this);
}

DrWindow::~DrWindow() {
    Varnix::Port::notifyStopRequests(nullptr, nullptr);
    stopWatchTimer.Stop();
    heldTakeTimer.Stop();
    // No more events for a window that is going.
    node.logSink().notifyWritten(nullptr, nullptr);
    // Normally the close handler has stopped the node already.
    node.stop();
    // Anything logged after the close handler's last write.
    node.logSink().close();
}

void DrWindow::log(const char16_t* text) { node.log(text); }

void DrWindow::showMessageBox(const Varnix::String& text, const Varnix::String& caption) {
    Varnix::String message(text);
    Varnix::String title(caption);
    wxMessageBox(Varnix::toWxString(message), Varnix::toWxString(title), wxOK | wxCENTRE);
}

void DrWindow::forceClose() { Close(true); }

void DrWindow::endAtOnce() {
    closeRequested = true;
    node.endAtOnce();
}

void DrWindow::showWritten() {
    node.logSink().takeWritten(logView->waiting());
    logView->update(IsShown());
}

bool DrWindow::Show(bool show) {
    bool changed = wxFrame::Show(show);
    if (show) {
        heldTakeTimer.Stop();
        node.logSink().notifyWritten(&DrWindow::logWritten, this);
        // What came while it was hidden.
        showWritten();
    } else {
        // Hidden, it is not woken for every flush.
        node.logSink().notifyWritten(nullptr, nullptr);
        heldTakeTimer.Start(heldTakePeriodMs, wxTIMER_CONTINUOUS);
    }
    return changed;
}

void DrWindow::logWritten(void* window) {
    // The sink's thread: only an event goes to the window, which shows the
    // text on its own thread.
    wxQueueEvent(static_cast<DrWindow*>(window), new wxThreadEvent(wxEVT_THREAD, logWrittenId));
}

void DrWindow::onLogWritten(wxThreadEvent&) { showWritten(); }

void DrWindow::onHeldTake(wxTimerEvent&) { showWritten(); }

void DrWindow::stopRequested(void* window) {
    wxQueueEvent(static_cast<DrWindow*>(window), new wxThreadEvent(wxEVT_THREAD, stopRequestId));
}

void DrWindow::onStopRequest(wxThreadEvent&) { takeStopRequests(); }

void DrWindow::takeStopRequests() {
    // Each stop request from outside is a close request of its own: the
    // first waits for the job, the second cuts it.
    for (int requests = Varnix::Port::stopRequests(); stopRequestsSeen < requests; ++stopRequestsSeen) Close(true);
}

void DrWindow::onStopWatch(wxTimerEvent&) {
    if (pollingStopRequests) takeStopRequests();
    // A stop that waited for the job goes on once the job has ended.
    if (node.stopWaitOver()) Close(true);
}

void DrWindow::onIconize(wxIconizeEvent& event) {
    if (trayIcon != nullptr) trayIcon->windowIconized(event.IsIconized());
}

void DrWindow::onClose(wxCloseEvent& event) {
    if (closeRequested && !node.stopWaits()) return;  // already on its way out
    closeRequested = true;
    // A stop that has to wait for a running job leaves the window up and
    // responsive, its log flowing, and the tray's "Quit" in reach: the stop
    // watch goes on once the job has ended, and a second close request
    // (close box, "Quit", stop signal, the installer's stop) cuts the job.
    if (node.requestStop()) {
        // Watches for the job's end only while a stop waits for it.
        if (!stopWatchTimer.IsRunning()) stopWatchTimer.Start(stopWatchPeriodMs, wxTIMER_CONTINUOUS);
        showWritten();
        if (event.CanVeto()) event.Veto();
        return;
    }
    stopWatchTimer.Stop();
    if (trayIcon != nullptr) {
        // "Quit" gets here from inside the icon's own PopupMenu: let the
        // library delete it once that call has returned.
        trayIcon->RemoveIcon();
        trayIcon->Destroy();
        trayIcon = nullptr;
    }

    // The service's threads are the ones that log: once they have stopped,
    // "DR server stopped" is the last line, written at once.
    node.stop();
    showWritten();

    event.Skip();
    // A frame hidden in the tray receives no more events, and its deferred
    // destruction waits for an idle turn of the main loop.
    wxWakeUpIdle();
}
