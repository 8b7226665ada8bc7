#include "port/writefault.h"

#include <cerrno>

namespace Varnix::Port {

Status diskFull() { return Status::fromSystem(ENOSPC); }

}  // namespace Varnix::Port
