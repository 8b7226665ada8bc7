#include "app/DrApp.h"

#include "app/CompanionWindow.h"
#include "app/DrWindow.h"
#include "app/WxText.h"
#include "core/Exception.h"
#include "core/LogLine.h"
#include "node/DataFolder.h"
#include "node/NodeLife.h"
#include "port/account.h"
#include "port/appendfile.h"
#include "port/desktop.h"
#include "port/folderlock.h"
#include "port/localtime.h"
#include "port/socket.h"
#include "port/stopsignal.h"

#include <string>

#include <wx/image.h>
#include <wx/msgdlg.h>
#include <wx/msgout.h>

#include <cstdlib>

namespace {

// What a second start in the same data folder ends with, whether its box is
// clicked away or a stop request comes first.
constexpr int secondStartStatus = 255;

// A second node holds nothing of its own: a stop request while its box waits
// for a click (an unattended deployment script, nobody at the screen) ends
// it at once. Called on the stop-request layer's thread.
[[noreturn]] void endSecondStart(void*) { std::_Exit(secondStartStatus); }

}  // namespace

DrApp::DrApp() {
    // The log window needs no OpenGL, and loading it for nothing would be
    // most of the node's memory on a desktop without graphics hardware.
    Varnix::Port::leaveOpenGlUnloaded();
}

namespace {

// What the logon task passes when the admin named no account at install:
// an administrator's logon then starts no node.
const wxString skipAdministrators = wxT("--skip-administrators");

// One line in DrLog.txt (a running node's, in its format) by a node that
// leaves at once.
void noteLeaving(const Varnix::String& dataDirectory, Varnix::String wide) {
    Varnix::String line;
    Varnix::appendLogLine(line, Varnix::Port::localTimeNow(), wide.wideCString());
    Varnix::String path = dataDirectory + u"DrLog.txt";
    Varnix::Port::AppendFile file;
    if (!file.open(path.wideCString()).isOk()) return;
    const char* bytes = line.toNarrow();
    (void)file.append(bytes, std::size_t(line.narrowLength() - 1));
}

void noteSecondLogon(const Varnix::String& dataDirectory, long session) {
    std::string text = "A second node started at another logon left: the node of session " + std::to_string(session) +
                       " runs in this data folder";
    noteLeaving(dataDirectory, Varnix::String(text.c_str()));
}

void noteAdministratorLogon(const Varnix::String& dataDirectory) {
    std::u16string account = Varnix::Port::accountName();
    Varnix::String name(account.empty() ? u"an administrator" : account.c_str());
    noteLeaving(dataDirectory, u"No node started at the logon of " + name +
                                   u", an administrator: the logon task starts one for an administrator only when "
                                   u"named at install (/USER=ACCOUNT, or /USER=* for every user)");
}

}  // namespace

bool DrApp::OnInit() {
    // Before the library's own reading of the command line, which would
    // answer an option it does not know with a usage box.
    if (argc >= 2 && argv[1] == wxString("--companion")) return startCompanion();

    // The node takes no options but the logon task's, which the library
    // would answer with a usage box; whatever else it makes of the command
    // line does not stop the node.
    const bool fromLogonTask = argc >= 2 && argv[1] == skipAdministrators;
    if (!fromLogonTask) (void)wxApp::OnInit();

    // Its result is not examined: a failure shows where sockets are used.
    (void)Varnix::Port::initializeSockets();

    wxImage::AddHandler(new wxPNGHandler);

    // Ctrl-C and a service manager's stop become a close request, told to
    // the window, so they end the node the way its close box does.
    Varnix::Port::watchStopRequests();

    // Before the window, which logs: a second node in the folder must not
    // write a line into the running one's DrLog.txt.
    node = std::make_unique<Varnix::NodeLife>();
    // The first logon would make its user the farm node's account: never an
    // administrator (a remote desktop for maintenance) who was not chosen.
    if (fromLogonTask && Varnix::Port::runsAsAdministrator()) {
        noteAdministratorLogon(node->dataDirectory());
        return false;
    }
    if (!node->claimDataFolder()) {
        long session = Varnix::Port::otherSessionOf(node->dataFolderHolder());
        if (session >= 0) {
            // The logon task starts a node at every user's logon: the first
            // one is the farm's, and a later logon (an admin's remote
            // desktop) leaves it alone without a box for someone else's node.
            noteSecondLogon(node->dataDirectory(), session);
            return false;
        }
        Varnix::String text = u"A Varnix DR node is already running in this data folder: " + node->dataDirectory();
        Varnix::Port::notifyStopRequests(&endSecondStart, nullptr);
        if (Varnix::Port::stopRequests() > 0) endSecondStart(nullptr);
        wxMessageBox(Varnix::toWxString(text), wxT("Varnix DR node"), wxOK | wxCENTRE);
        Varnix::Port::notifyStopRequests(nullptr, nullptr);
        // The admin may have been looking for the running one.
        Varnix::Port::bringWindowForward(node->dataFolderHolder(), DrWindow::title);
        return false;
    }

    Bind(wxEVT_QUERY_END_SESSION, &DrApp::onQueryEndSession, this);
    Bind(wxEVT_END_SESSION, &DrApp::onEndSession, this);
    Varnix::Port::onDisplayLost(&DrApp::displayLost, this);

    try {
        new DrWindow(node.get());
    } catch (const Varnix::Exception& error) {
        // The library's own report of an escaping exception does not say
        // what failed; the admin needs the file name. Start-up still ends
        // the library's way.
        Varnix::String message = error.getMessage();
        wxMessageOutputBest().Printf(wxT("Varnix DR server cannot start: %s\n"), Varnix::toWxString(message));
        throw;
    }
    return true;
}

bool DrApp::startCompanion() {
    (void)Varnix::Port::initializeSockets();
    wxImage::AddHandler(new wxPNGHandler);
    // Ctrl-C and a stop from outside close the companion, never the node.
    Varnix::Port::watchStopRequests();
    // The service's data folder: the working directory's drData, as for the
    // node (the installer starts both in its start folder), or FOLDER's.
    Varnix::String data =
        argc >= 3 ? Varnix::toString(argv[2]) + Varnix::String(u"/drData/") : dataDirectoryOfWorkingDirectory();
    // No data folder claimed, no port opened, nothing written there.
    new CompanionWindow(data);
    return true;
}

void DrApp::onQueryEndSession(wxCloseEvent&) {
    // Not the library's default, a close request that a running job would
    // veto: the session may still be cancelled, and the node then runs on.
}

void DrApp::onEndSession(wxCloseEvent& event) {
    if (auto* window = dynamic_cast<DrWindow*>(GetTopWindow())) window->endAtOnce();
    // The library then destroys the window and ends the process.
    event.Skip();
}

void DrApp::displayLost(void* app) {
    if (auto* window = dynamic_cast<DrWindow*>(static_cast<DrApp*>(app)->GetTopWindow())) window->endAtOnce();
}

DrApp::~DrApp() = default;
