#include "LateHelper.h"

#include "port/selfpath.h"

#include <windows.h>

#include <string>
#include <vector>

namespace Varnix::Peer {

bool startLateHelper(const std::string& directory, int delayMs) {
    const std::string self = Port::executableDirectory() + "\\3dsmaxcmd.exe";
    std::string line = "\"" + self + "\" " + lateDumpOption + " \"" + directory + "\" " + std::to_string(delayMs);
    std::vector<char> mutableLine(line.begin(), line.end());
    mutableLine.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    // Detached from the console and its group, as a helper that outlives
    // the renderer would be.
    if (!CreateProcessA(self.c_str(), mutableLine.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

void dropEnvironment(char**) {}

}  // namespace Varnix::Peer
