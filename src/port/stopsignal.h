#pragma once

// Stop requests from outside the window: Ctrl-C in a terminal, a service
// manager's stop (SIGINT, SIGTERM), or a console's Ctrl-C, Ctrl-Break and
// close on Windows. The handler only records the request; the GUI thread
// polls it and closes the window the way the close box does.

namespace Varnix::Port {

// Starts recording stop requests. Call once, on the GUI thread, before the
// window exists. A second request of the same kind after the first one has
// been recorded gets the system's default treatment (on POSIX: the process
// ends at once), so an impatient admin can still end a hung shutdown.
void watchStopRequests();

// True once a stop request has arrived. Lock-free; any thread.
bool stopRequested();

}  // namespace Varnix::Port
