// VarnixNodeKeeper.exe: what the installer's logon task starts. It runs
// VarnixNode.exe (beside it) in its own working directory, the data folder,
// and starts it again when it was ended from outside or crashed; a node that
// stopped itself (closed, "Quit", a start-up error) is left stopped, and so
// is the keeper. Each restart is written to drData\DrLog.txt first. The
// logon task's --skip-administrators goes on to the node, which then leaves
// an administrator's logon alone.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Exit codes of a process that did not stop itself: TerminateProcess from
// "taskkill /f" or Task Manager (1), abort() (3), and the NTSTATUS errors of
// a crash (access violation, stack overflow, fail-fast...). A start that
// failed (-1) is no crash: it would only fail again.
bool endedFromOutside(DWORD code) { return code == 1 || code == 3 || (code & 0xF0000000u) == 0xC0000000u; }

std::wstring besideMe(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1) + name;
}

// Appends a line in the node's own format; the node is not running now.
void logLine(const char* text) {
    HANDLE file = CreateFileW(L"drData\\DrLog.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    SYSTEMTIME t;
    GetLocalTime(&t);
    char line[512];
    int n = std::snprintf(line, sizeof line, "%d/%02d/%02d-%02d:%02d:%02d   %s\r\n", t.wYear, t.wMonth, t.wDay, t.wHour,
                          t.wMinute, t.wSecond, text);
    DWORD written = 0;
    if (n > 0) WriteFile(file, line, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR arguments, int) {
    const std::wstring node = besideMe(L"VarnixNode.exe");
    const bool skipAdministrators = arguments != nullptr && std::strstr(arguments, "--skip-administrators") != nullptr;
    for (;;) {
        std::wstring commandLine = L"\"" + node + L"\"";
        if (skipAdministrators) commandLine += L" --skip-administrators";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(node.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process))
            return 2;
        CloseHandle(process.hThread);
        const ULONGLONG started = GetTickCount64();
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hProcess);
        if (!endedFromOutside(code)) return 0;
        // A node that dies soon after its start waits longer, so that a
        // broken machine is not restarted in a tight loop.
        const DWORD pause = GetTickCount64() - started < 60000 ? 50000 : 10000;
        char text[160];
        std::snprintf(text, sizeof text,
                      "VarnixNode.exe ended without a stop (exit code 0x%08lX); starting it again in %lu s",
                      static_cast<unsigned long>(code), static_cast<unsigned long>(pause / 1000));
        logLine(text);
        Sleep(pause);
    }
}
