#pragma once

// Stop requests from outside the window: Ctrl-C in a terminal, a service
// manager's stop (SIGINT, SIGTERM), or a console's Ctrl-C, Ctrl-Break and
// close on Windows. The handler only records the request; the GUI thread
// polls it and closes the window the way the close box does.

namespace Varnix::Port {

// Starts recording stop requests. Call once, on the GUI thread, before the
// window exists. The first request stops the node once its job has ended,
// the second cuts the job short; a third gets the system's default treatment
// (on POSIX: the process ends at once), so an impatient admin can still end
// a hung shutdown.
void watchStopRequests();

// How many stop requests have arrived. Lock-free; any thread.
int stopRequests();

}  // namespace Varnix::Port
