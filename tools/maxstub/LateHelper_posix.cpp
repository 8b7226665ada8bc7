#include "LateHelper.h"

#include "port/selfpath.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

extern char** environ;

namespace Varnix::Peer {

bool startLateHelper(const std::string& directory, int delayMs) {
    const std::string self = Port::executableDirectory() + "/3dsmaxcmd.exe";
    const std::string delay = std::to_string(delayMs);
    pid_t first = ::fork();
    if (first < 0) return false;
    if (first == 0) {
        // Twice forked, in a session of its own: what a daemon does to
        // leave its parent's process group and session behind.
        // It works in the folder it writes to.
        ::setsid();
        if (::chdir(directory.c_str()) != 0) ::_exit(1);
        if (::fork() == 0) {
            ::execl(self.c_str(), self.c_str(), lateDumpOption, ".", delay.c_str(), nullptr);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(first, &status, 0);
    return true;
}

void dropEnvironment(char** argv) {
    if (environ == nullptr || environ[0] == nullptr) return;
    char* none[] = {nullptr};
    const std::string self = Port::executableDirectory() + "/3dsmaxcmd.exe";
    ::execve(self.c_str(), argv, none);
}

}  // namespace Varnix::Peer
