// Program entry: a node without a window (--no-window) is run before the
// toolkit starts, since it needs a display such a node may not have;
// otherwise wxEntry creates DrApp (main.cpp).
#include "node/WindowlessNode.h"
#include "port/selfpath.h"

#include <wx/app.h>

int main(int argc, char** argv) {
    int status = 0;
    if (Varnix::runWithoutWindow(Varnix::Port::programArguments(argc, argv), status)) return status;
    wxDISABLE_DEBUG_SUPPORT();
    return wxEntry(argc, argv);
}
