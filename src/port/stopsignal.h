#pragma once

// Stop requests from outside the window: Ctrl-C in a terminal, a service
// manager's stop, a closed terminal (SIGINT, SIGTERM, SIGHUP), or a console's Ctrl-C, Ctrl-Break and
// close on Windows. The handler only records the request and tells whoever
// asked (notifyStopRequests); the GUI thread then closes the window the way
// the close box does.

namespace Varnix::Port {

// Starts recording stop requests. Call once, on the GUI thread, before the
// window exists. The first request stops the node once its job has ended,
// the second cuts the job short; the third (lastStopRequest) is told as well
// and gives the cut and the stop 10 s to tell the master and finish the
// log, after which the system's default treatment ends the process (on
// POSIX: by the last signal); a fourth gets that default at once, so an
// impatient admin can still end a hung shutdown. On POSIX every signal whose
// default would end the process and that can be caught is a request
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU,
// SIGPWR).
void watchStopRequests();

constexpr int lastStopRequest = 3;

// How many stop requests have arrived. Lock-free; any thread.
int stopRequests();

// Who is told of each stop request from now on: `notify(context)` is called
// on a thread of this layer (never the GUI thread, never a signal handler)
// after the request is counted. Null: nobody. Once this returns, the
// previous one is no longer being called. False when requests cannot be told
// here (no thread could be made): the caller polls stopRequests() then. Any
// thread, after watchStopRequests.
bool notifyStopRequests(void (*notify)(void* context), void* context);

// A stop from outside on Windows (taskkill without /f, an installer) posts a
// close message to every top-level window of the process, the toolkit's
// hidden helper windows too (timers, tray icon), which it would destroy,
// leaving the node without timers for the rest of its run. From this call
// on, a close message posted to a hidden top-level window other than
// `mainWindow` (the main window's native handle) is dropped; the main
// window still gets its own. GUI thread, once the main window exists;
// never fails (without the hook the old behaviour stays). Nothing to do on
// POSIX.
void keepCloseFromHelperWindows(void* mainWindow);

}  // namespace Varnix::Port
