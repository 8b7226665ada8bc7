#include "app/DrApp.h"

#include "app/DrWindow.h"
#include "port/stopsignal.h"

#include <wx/image.h>

bool DrApp::OnInit() {
    // The node takes no options; whatever the library makes of the command
    // line does not stop it.
    (void)wxApp::OnInit();

    // SOCKETS: the node's socket layer is initialised here, once it exists.

    wxImage::AddHandler(new wxPNGHandler);

    // Ctrl-C and a service manager's stop become a close request, polled by
    // the window, so they end the node the way its close box does.
    Varnix::Port::watchStopRequests();

    new DrWindow();
    return true;
}

DrApp::~DrApp() = default;
