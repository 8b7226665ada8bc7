#include "port/desktop.h"

#include <cstdlib>

namespace Varnix::Port {

void leaveOpenGlUnloaded() {
    // GDK reads it once, when it starts; 0: an admin's own value stays.
    setenv("GDK_GL", "disable", 0);
}

}  // namespace Varnix::Port
