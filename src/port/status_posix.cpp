#include "port/status.h"

#include <cerrno>
#include <cstring>

namespace Varnix::Port {

Status Status::fromSystem(int code) { return withText(code, std::strerror(code)); }

Status Status::lastFileError() { return fromSystem(errno); }

bool Status::isNotFound() const { return !isOk() && error == ENOENT; }

}  // namespace Varnix::Port
