#include "port/desktop.h"

namespace Varnix::Port {

// The Windows controls draw without OpenGL.
void leaveOpenGlUnloaded() {}

// The end of the session comes to the main window as WM_QUERYENDSESSION and
// WM_ENDSESSION, which the toolkit turns into events.
void onDisplayLost(void (*)(void*), void*) {}

}  // namespace Varnix::Port
