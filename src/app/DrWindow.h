#pragma once

#include "core/LogTarget.h"
#include "core/String.h"
#include "node/NodeLife.h"

#include <wx/event.h>
#include <wx/frame.h>
#include <wx/icon.h>
#include <wx/timer.h>

#include <memory>

class LogView;
class MyIcon;

// The node's only window: the running log, and the face of the node's owner
// (NodeLife), which holds the log sink every other part of the node writes
// to and the render service. The window starts the node, shows its log and
// its start-up failures, and turns close requests into stop requests.
// Created with new by DrApp::OnInit; destroyed by the library after a close
// request, which its close handler always lets through. Throws
// Varnix::Exception from the constructor when DrLog.txt cannot be opened.
// Everything but log() belongs to the GUI thread.
class DrWindow : public wxFrame, public Varnix::LogTarget, public Varnix::NodeFace {
public:
    // Starts `life`, which outlives the window; a node of its own, of the
    // working directory, when null.
    explicit DrWindow(Varnix::NodeLife* life = nullptr);
    ~DrWindow() override;

    // The frame's title, by which a second start finds the running node.
    static constexpr const char16_t* title = u"Varnix Tarvo | Alpha v6.1";

    // One line into the log sink (LogSink::log): its own thread writes it
    // to DrLog.txt within half a second, and this window shows it then (or,
    // hidden in the tray, once it is shown again). Any thread.
    void log(const char16_t* text) override;
    using Varnix::LogTarget::log;

    // wxMessageBox with an OK button, centred, no parent; the node's start-up
    // failures are shown here. GUI thread only;
    // blocks in the box's own event loop until the admin closes it.
    void showMessageBox(const Varnix::String& text, const Varnix::String& caption) override;

    // A close request that cannot be vetoed, as the tray's "Quit" sends.
    void forceClose();

    // The end of the desktop session, which leaves no time to wait: cuts the
    // running job (its renderer's tree ends), stops the service and writes
    // the log to the end, "DR server stopped" last, as a second close would,
    // without touching a widget. GUI thread.
    void endAtOnce();

    // Shows or hides the frame; showing it brings in the lines written
    // while it was hidden. GUI thread.
    bool Show(bool show = true) override;

    // The tray icon; null once the close handler has released it.
    MyIcon* getTrayIcon() const { return trayIcon; }

private:
    void onClose(wxCloseEvent& event);
    void onIconize(wxIconizeEvent& event);
    // Called by the log sink on its thread when written text waits: queues
    // onLogWritten for the GUI thread.
    static void logWritten(void* window);
    void onLogWritten(wxThreadEvent& event);
    // Takes the written text while the window is hidden.
    void onHeldTake(wxTimerEvent& event);
    // Polls stop requests where they cannot be told, and watches for the
    // end of the job a stop waits for.
    void onStopWatch(wxTimerEvent& event);
    // Called by the stop-request layer on its thread: queues onStopRequest.
    static void stopRequested(void* window);
    void onStopRequest(wxThreadEvent& event);
    // Turns the stop requests not yet seen into close requests. GUI thread.
    void takeStopRequests();
    // Shows what the log sink has written since the last time. GUI thread.
    void showWritten();

    std::unique_ptr<LogView> logView;
    // The node when none was given; `node` is the one driven.
    std::unique_ptr<Varnix::NodeLife> ownLife;
    Varnix::NodeLife& node;
    wxIcon windowIcon;
    // While the window is hidden it takes the written text on this timer
    // instead of being told of each flush.
    wxTimer heldTakeTimer;
    MyIcon* trayIcon = nullptr;
    // Runs while a stop waits for the job, or always where stop requests
    // are polled (pollingStopRequests).
    wxTimer stopWatchTimer;
    bool pollingStopRequests = false;
    // Set by the close handler; the window is being taken down, or waits for
    // the running job first (NodeLife::stopWaits).
    bool closeRequested = false;
    // Stop requests from outside already turned into close requests.
    int stopRequestsSeen = 0;
};
