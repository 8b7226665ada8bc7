#pragma once

#include "app/LogRepeats.h"
#include "core/NodeWindow.h"
#include "core/OutputTextFile.h"
#include "core/String.h"
#include "port/thread.h"

#include <wx/frame.h>
#include <wx/icon.h>
#include <wx/timer.h>

#include <memory>
#include <string>
#include <vector>

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

    // The window shows at most this many lines: when there are more, the
    // oldest go, down to trimmedViewLines. DrLog.txt keeps every line.
    static constexpr int maxViewLines = 30000;
    static constexpr int trimmedViewLines = 25000;

    // One timestamped line, collected in memory; shown and written to
    // DrLog.txt by the next 500 ms tick. A text longer than maxLogTextUnits
    // is cut with a mark; a run of identical lines is counted instead
    // (LogRepeats) and the count written as a line of its own. Any thread. Does no GUI work and no
    // file output itself; it waits only for logLock, which other loggers and
    // the flush hold briefly (the flush only to take the pending text, not
    // while it shows or writes it). Throws std::bad_alloc only when memory
    // runs out.
    void log(const char16_t* text) override;
    using Varnix::NodeWindow::log;

    // wxMessageBox with an OK button, centred, no parent. GUI thread only;
    // blocks in the box's own event loop until the admin closes it.
    void showMessageBox(const Varnix::String& text, const Varnix::String& caption) override;

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
    // into the view; `closing` also writes every repeat count not yet
    // written. GUI thread.
    void writePending(bool toView, bool closing = false);
    // Appends the repeat counts due by now (all when `closing`) to
    // pendingText. Caller holds logLock.
    void appendRepeatCounts(bool closing);
    // Drops the oldest lines of the view beyond maxViewLines. GUI thread.
    void trimLogView();
    // Deletes the render service if there is one, which waits for its
    // threads; afterwards nothing logs any more. GUI thread.
    void stopRenderService();

    wxTextCtrl* logView = nullptr;
    // Created in the constructor, released by stopRenderService (from the
    // close handler, or at once when start-up ends early) while the log sink
    // it writes to is still whole.
    std::unique_ptr<RenderService> renderService;
    Varnix::Port::Mutex logLock;
    wxIcon windowIcon;
    Varnix::String pendingText;
    // Runs of identical lines; guarded by logLock.
    Varnix::LogRepeats repeats;
    // A count line waiting to be appended; guarded by logLock (kept to reuse
    // its storage).
    std::u16string repeatCount;
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
