#include "port/writefault.h"

#include <cerrno>
#include <cstring>

namespace Varnix::Port {

std::string diskFullReason() { return std::strerror(ENOSPC); }

}  // namespace Varnix::Port
