#pragma once
// The node without a window: a Windows service started at boot with nobody
// logged on, or a headless node (a Linux server, a developer's console).
// Same data folder, log, ports and jobs as the log window's node, and the
// same stop: the first request waits for a running job, the second cuts it,
// "DR server stopped" is the last line.

#include <string>
#include <vector>

namespace Varnix {

// The service's name for the service manager, and the name it is shown by.
extern const char16_t* const serviceName;
extern const char16_t* const serviceDisplayName;

// Runs the node as the program's arguments (the program's name first) ask
// when they ask for no window, and sets `status` to the program's exit code:
//   --no-window [FOLDER]  the headless node: stops on SIGTERM, SIGINT or
//                         SIGHUP (a console's Ctrl-C on Windows);
//   --service [FOLDER]    the Windows service, as the service manager starts
//                         it (anywhere else it says so and fails).
// FOLDER holds drData, as the working directory does for the window's node
// (a service starts in the system folder). False, having done nothing, when
// the arguments ask for neither: the window is the program's face then. The
// main thread, before any toolkit starts.
bool runWithoutWindow(const std::vector<std::u16string>& arguments, int& status);

}  // namespace Varnix
