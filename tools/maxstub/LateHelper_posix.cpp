#include "LateHelper.h"

#include "port/selfpath.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace Varnix::Peer {

bool startLateHelper(const std::string& directory, int delayMs) {
    const std::string self = Port::executableDirectory() + "/3dsmaxcmd.exe";
    const std::string delay = std::to_string(delayMs);
    pid_t first = ::fork();
    if (first < 0) return false;
    if (first == 0) {
        // Twice forked, in a session of its own: what a daemon does to
        // leave its parent's process group and session behind.
        ::setsid();
        if (::fork() == 0) {
            ::execl(self.c_str(), self.c_str(), lateDumpOption, directory.c_str(), delay.c_str(), nullptr);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(first, &status, 0);
    return true;
}

}  // namespace Varnix::Peer
