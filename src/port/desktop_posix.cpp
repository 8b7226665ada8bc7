#include "port/desktop.h"

#include <X11/Xlib.h>

#include <cstdlib>

namespace Varnix::Port {

void leaveOpenGlUnloaded() {
    // GDK reads it once, when it starts; 0: an admin's own value stays.
    setenv("GDK_GL", "disable", 0);
}

namespace {

void (*displayLost)(void*) = nullptr;
void* displayLostContext = nullptr;
XIOErrorHandler toolkitHandler = nullptr;

int onIoError(Display* display) {
    if (displayLost != nullptr) displayLost(displayLostContext);
    // The toolkit's own handler ends the process; Xlib's default does too.
    if (toolkitHandler != nullptr) return toolkitHandler(display);
    std::_Exit(1);
}

}  // namespace

void onDisplayLost(void (*lost)(void* context), void* context) {
    displayLost = lost;
    displayLostContext = context;
    XIOErrorHandler previous = XSetIOErrorHandler(onIoError);
    if (previous != onIoError) toolkitHandler = previous;
}

}  // namespace Varnix::Port
