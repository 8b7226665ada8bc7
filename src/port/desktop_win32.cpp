#include "port/desktop.h"

namespace Varnix::Port {

// The Windows controls draw without OpenGL.
void leaveOpenGlUnloaded() {}

}  // namespace Varnix::Port
