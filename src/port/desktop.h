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

}  // namespace Varnix::Port
