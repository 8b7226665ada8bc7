#pragma once

#include <string>
#include <vector>

namespace Varnix::Port {

// The directory that holds the running executable, in the narrow form the
// runtime's file functions accept, without a trailing separator. Empty when
// the system cannot tell. Any thread.
std::string executableDirectory();

// The program's arguments, its own name first, as the system gave them: on
// Windows the process's UTF-16 command line split as the C runtime splits
// it (`argc` and `argv` are not used, and may be 0 and null); on POSIX
// `argv` decoded as file names are. Empty when the system cannot tell. The
// main thread.
std::vector<std::u16string> programArguments(int argc, char** argv);

}  // namespace Varnix::Port
