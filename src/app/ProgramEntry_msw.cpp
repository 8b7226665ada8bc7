// Program entry: the Windows service (--service) and a node without a window
// (--no-window) run before the toolkit starts, since a service has no desktop
// to show a window on; otherwise wxEntry creates DrApp (main.cpp).
#include "node/WindowlessNode.h"
#include "port/selfpath.h"

#include <wx/app.h>

extern "C" int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, wxCmdLineArgType commandLine, int show) {
    int status = 0;
    if (Varnix::runWithoutWindow(Varnix::Port::programArguments(0, nullptr), status)) return status;
    wxDISABLE_DEBUG_SUPPORT();
    return wxEntry(instance, previous, commandLine, show);
}
