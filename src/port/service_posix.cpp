#include "port/service.h"

namespace Varnix::Port {

// No service manager starts the node here: a headless node is an ordinary
// process (stopsignal.h).
bool runAsService(const char16_t*, ServiceBody&) { return false; }

void reportServiceRunning() {}

void reportServiceStopping(unsigned) {}

}  // namespace Varnix::Port
