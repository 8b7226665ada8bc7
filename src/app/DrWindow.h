#pragma once

#include "core/NodeWindow.h"
#include "core/OutputTextFile.h"
#include "core/String.h"
#include "port/thread.h"

#include <wx/frame.h>
#include <wx/icon.h>
#include <wx/timer.h>

class MyIcon;
class RenderService;
class wxTextCtrl;

// The node's only window: the running log, and the log sink that every other
// part of the node writes to. Created with new by DrApp::OnInit; destroyed by
// the library after a close request, which its close handler always lets
// through. Throws Varnix::Exception from the constructor when DrLog.txt
// cannot be opened. Everything but log() belongs to the GUI thread.
class DrWindow : public wxFrame, public Varnix::NodeWindow {
public:
    DrWindow();
    ~DrWindow() override;

    // One timestamped line, collected in memory; shown and written to
    // DrLog.txt by the next 500 ms tick. Any thread. Does no GUI work and no
    // file output itself; it waits only for logLock, which other loggers and
    // the flush hold briefly (the flush only to take the pending text, not
    // while it shows or writes it). Throws std::bad_alloc only when memory
    // runs out.
    void log(const char16_t* text) override;

    // A close request that cannot be vetoed, as the tray's "Quit" sends.
    void forceClose() override;

    // The tray icon; null once the close handler has released it.
    MyIcon* getTrayIcon() const { return trayIcon; }

private:
    void onClose(wxCloseEvent& event);
    void onIconize(wxIconizeEvent& event);
    void onFlushTimer(wxTimerEvent& event);
    void onStopWatch(wxTimerEvent& event);
    // Moves everything pending into the file (when open) and, when asked,
    // into the view. GUI thread.
    void writePending(bool toView);
    // Deletes the render service if there is one, which waits for its
    // threads; afterwards nothing logs any more. GUI thread.
    void stopRenderService();

    wxTextCtrl* logView = nullptr;
    // Created in the constructor, deleted by stopRenderService (from the
    // close handler, or at once when start-up ends early).
    RenderService* renderService = nullptr;
    Varnix::Port::Mutex logLock;
    wxIcon windowIcon;
    Varnix::String pendingText;
    // The text being shown and written by the GUI thread, taken out of
    // pendingText (their storages alternate, both are kept). GUI thread only.
    Varnix::String flushingText;
    wxTimer flushTimer;
    MyIcon* trayIcon = nullptr;
    Varnix::OutputTextFile logFile;
    // Polls for SIGINT/SIGTERM, which turn into a close request.
    wxTimer stopWatchTimer;
    // Set by the close handler; the window is being taken down.
    bool closeRequested = false;
};
