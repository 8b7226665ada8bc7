#pragma once

#include <wx/app.h>

#include <memory>

namespace Varnix {
class NodeLife;
}

// The application object: made by the library's factory (main.cpp), it sets
// up the process-wide services, claims the data folder for the node and
// opens the log window, which starts it. GUI thread only.
class DrApp : public wxApp {
public:
    // Runs before the toolkit starts: settings the toolkit reads at its start
    // are made here.
    DrApp();
    // With `--companion [FOLDER]`: the companion window of the node service
    // (CompanionWindow), which runs no node, for FOLDER's drData (by default
    // the working directory's, as for the node). Otherwise the node and its
    // window:
    // true once the window is made; an exception from the window's
    // construction (DrLog.txt cannot be opened) leaves it and ends start-up.
    // False, having said so in a box, when another node runs in the same
    // data folder: that one's log and files are left alone.
    bool OnInit() override;
    ~DrApp() override;

private:
    // Starts the companion of the node service; true once its window is made.
    bool startCompanion();
    // The end of the desktop session (log-off, restart, shutdown): never
    // vetoed, since Windows would wait on the node; when it does end, the
    // job and the node end at once (DrWindow::endAtOnce).
    void onQueryEndSession(wxCloseEvent& event);
    void onEndSession(wxCloseEvent& event);
    // The X display went away: the toolkit is about to end the process.
    static void displayLost(void* app);

    // The node; it holds its data folder for the whole life of the process,
    // one node per folder.
    std::unique_ptr<Varnix::NodeLife> node;
};
