// Ends every process of an executable name with a given exit code, as
// Windows' "taskkill /f" (1) or a crash (0xC0000005) would leave it; Wine's
// taskkill /f leaves 0, which reads as a clean exit.
//
// Usage: end-process NAME.exe CODE     Exit status: 0 one or more ended; 1 none.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const DWORD code = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 0));
    std::wstring name;
    for (const char* c = argv[1]; *c != '\0'; ++c) name += static_cast<wchar_t>(*c);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    int ended = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, name.c_str()) != 0) continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
        if (process != nullptr && TerminateProcess(process, code)) ++ended;
        if (process != nullptr) CloseHandle(process);
    }
    CloseHandle(snapshot);
    return ended > 0 ? 0 : 1;
}
