#pragma once
// Settings for the desktop libraries the window is made with; they must be
// made before those libraries start.

namespace Varnix::Port {

// Asks the toolkit not to load OpenGL, which the node's plain widgets never
// use: on X11, GTK loads a whole OpenGL driver only to choose window visuals
// (with a software renderer, about 50 MB resident). A setting the admin made
// in the environment is kept. Nothing to do on Windows. Main thread, before
// the toolkit starts and before other threads exist; never fails.
void leaveOpenGlUnloaded();

// Calls `lost(context)` when the connection to the X display breaks (the
// desktop session ended, the X server went away), just before the toolkit
// ends the process, which it does at once, without a close request. `lost`
// must not touch the display or a widget, and may not return to the toolkit
// for long. On Windows the session's end comes as a window message instead:
// nothing to do. GUI thread, once the toolkit has opened the display; never
// fails.
void onDisplayLost(void (*lost)(void* context), void* context);

}  // namespace Varnix::Port
