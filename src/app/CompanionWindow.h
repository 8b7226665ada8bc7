#pragma once

#include "core/LogFollower.h"
#include "core/String.h"
#include "node/Protocol.h"
#include "node/StatusQuery.h"

#include <wx/event.h>
#include <wx/frame.h>
#include <wx/icon.h>
#include <wx/timer.h>

#include <cstdint>
#include <memory>

class LogView;
class MyIcon;

// The window of a desktop session on a machine whose node runs as a service
// (started at logon as `--companion`): the node's window as it looks (label,
// tray icon, tooltip, menu; its title says "service companion"), but it runs
// no node. It follows the
// service's DrLog.txt as it is written, shows the node's state from its
// status answer in the status bar, and says when nobody answers. Closing it
// or its "Quit" ends the companion only. It neither locks the data folder,
// nor opens a port the node uses, nor writes to DrLog.txt. Created with new
// by DrApp::OnInit; destroyed by the library after a close request. GUI
// thread only; it has no thread of its own.
class CompanionWindow : public wxFrame {
public:
    // Follows DrLog.txt in `dataDirectory` (ending in a slash) and asks the
    // node on 127.0.0.1 at `statusPort` for its state.
    explicit CompanionWindow(const Varnix::String& dataDirectory, std::uint16_t statusPort = Varnix::discoveryPort);
    ~CompanionWindow() override;

    // Not the node's own title: scripts and installers that find or close the
    // node by its window's title must not take the companion for it.
    static constexpr const char16_t* title = u"Varnix Tarvo | Alpha v6.1 (service companion)";
    // What the status bar says, and a line in the view says once, when no
    // status answer comes.
    static constexpr const char16_t* notRunningText = u"The Varnix DR node service is not running";
    // The status bar until the first answer or silence.
    static constexpr const char16_t* askingText = u"Asking the node service for its state";
    // How often the node is asked, and how many unanswered requests in a row
    // mean it is not running (a loaded machine may drop one). The node
    // answers each sender address twice a second at most
    // (statusAnswersPerSecond): companions of several sessions share
    // 127.0.0.1, so each asks less often than that.
    static constexpr int statusPeriodMs = 2000;
    static constexpr int unansweredForNotRunning = 3;
    // How often DrLog.txt is read: at the writer's pace while shown, rarely
    // while in the tray.
    static constexpr int followPeriodMs = 500;
    static constexpr int hiddenFollowPeriodMs = 5000;

    // Shows or hides the frame; showing it brings in the lines read while it
    // was hidden.
    bool Show(bool show = true) override;

    // The tray icon; null once the close handler has released it.
    MyIcon* getTrayIcon() const { return trayIcon; }

private:
    void onClose(wxCloseEvent& event);
    void onIconize(wxIconizeEvent& event);
    void onFollow(wxTimerEvent& event);
    void onStatus(wxTimerEvent& event);
    // Reads what DrLog.txt gained and shows it.
    void followLog();
    // Judges the answers to the last request, then asks again.
    void checkStatus();
    // The tray menu's "Stop the node service…" (Windows only).
    void onStopService(wxCommandEvent& event);
    // Called by the stop-request layer on its thread: queues onStopRequest.
    static void stopRequested(void* window);
    void onStopRequest(wxThreadEvent& event);
    void takeStopRequests();
    // One line of the companion's own into the view, stamped like the log's.
    void note(const char16_t* text);
    void showStatus(const Varnix::String& text);

    std::unique_ptr<LogView> logView;
    wxIcon windowIcon;
    MyIcon* trayIcon = nullptr;
    Varnix::LogFollower follower;
    Varnix::StatusQuery query;
    wxTimer followTimer;
    wxTimer statusTimer;
    int unanswered = 0;
    // Whether the node answered last time it was judged; unknown at first.
    enum class Answering { unknown, yes, no } answering = Answering::unknown;
    int stopRequestsSeen = 0;
    bool pollingStopRequests = false;
    bool closing = false;
};
