#pragma once

#include <string>

namespace Varnix::Port {

// The directory that holds the running executable, in the narrow form the
// runtime's file functions accept, without a trailing separator. Empty when
// the system cannot tell. Any thread.
std::string executableDirectory();

}  // namespace Varnix::Port
