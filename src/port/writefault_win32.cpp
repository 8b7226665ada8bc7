#include "port/writefault.h"

#include "port/systemerror_win32.h"

#include <windows.h>

namespace Varnix::Port {

std::string diskFullReason() { return systemErrorText(ERROR_DISK_FULL); }

}  // namespace Varnix::Port
