#include "port/elevate.h"

namespace Varnix::Port {

bool canRunElevated() { return false; }

// Nothing is run: the headless node belongs to the service manager.
bool runElevated(const char16_t*, const char16_t*) { return false; }

}  // namespace Varnix::Port
