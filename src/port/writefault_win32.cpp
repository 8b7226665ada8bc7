#include "port/writefault.h"

#include <windows.h>

namespace Varnix::Port {

Status diskFull() { return Status::fromSystem(ERROR_DISK_FULL); }

}  // namespace Varnix::Port
