#include "port/process.h"

#include <windows.h>

#include <cwchar>
#include <mutex>
#include <vector>

namespace Varnix::Port {

namespace {

std::string systemReason(DWORD error) {
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                  sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.')) --length;
    return length > 0 ? std::string(text, length) : "error " + std::to_string(error);
}

// What system() runs: the interpreter named by COMSPEC, else cmd.exe.
std::wstring interpreter() {
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"COMSPEC", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return L"cmd.exe";
    return std::wstring(path, length);
}

}  // namespace

struct ChildProcess::System {
    HANDLE process = nullptr;
    std::mutex lock;
};

ChildProcess::ChildProcess(std::unique_ptr<System> system) : system(std::move(system)) {}

std::unique_ptr<ChildProcess> ChildProcess::start(const char* narrowCommand, std::string& why) {
    // The narrow command is in the ANSI code page, as system() took it.
    int length = MultiByteToWideChar(CP_ACP, 0, narrowCommand, -1, nullptr, 0);
    std::vector<wchar_t> command(std::size_t(length > 0 ? length : 1), L'\0');
    if (length > 0) MultiByteToWideChar(CP_ACP, 0, narrowCommand, -1, command.data(), length);
    std::wstring shell = interpreter();
    std::wstring line = L"cmd.exe /c " + std::wstring(command.data());
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(L'\0');

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(shell.c_str(), mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &info)) {
        why = systemReason(GetLastError());
        return nullptr;
    }
    CloseHandle(info.hThread);
    auto system = std::make_unique<System>();
    system->process = info.hProcess;
    return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(system)));
}

ChildProcess::~ChildProcess() {
    if (system->process != nullptr) CloseHandle(system->process);
}

bool ChildProcess::wait(int milliseconds) {
    DWORD waited = WaitForSingleObject(system->process, milliseconds < 0 ? INFINITE : DWORD(milliseconds));
    if (waited != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    status = GetExitCodeProcess(system->process, &code) ? int(code) : -1;
    return true;
}

int ChildProcess::endTree() {
    std::lock_guard<std::mutex> guard(system->lock);
    if (WaitForSingleObject(system->process, 0) == WAIT_OBJECT_0) return 0;
    return TerminateProcess(system->process, 1) ? 1 : 0;
}

}  // namespace Varnix::Port
