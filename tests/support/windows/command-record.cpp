// Stands in for a Windows tool that Wine lacks (netsh advfirewall, icacls,
// schtasks' task service) when copied over it: appends its command line to
// <its name>-record.txt beside it and exits 0. Like a firewall, it answers
// "show rule name=X" with 0 only once an "add rule name=X" was recorded; like
// Wine, whose task service runs nothing, it answers "/run" with 1.
#include <windows.h>

#include <cstdio>
#include <string>

int main() {
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring record(self, n);
    record = record.substr(0, record.rfind(L'.')) + L"-record.txt";
    std::wstring line = GetCommandLineW();
    char utf8[8192];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, utf8, sizeof utf8, nullptr, nullptr);
    std::string text(utf8, bytes > 0 ? bytes - 1 : 0);

    int status = text.find(" /run ") != std::string::npos ? 1 : 0;
    std::size_t show = text.find(" show rule name=");
    if (show != std::string::npos) {
        std::string added = "add rule name=" + text.substr(show + 16);
        status = 1;
        if (FILE* f = _wfopen(record.c_str(), L"rb")) {
            char buffer[1 << 16];
            std::size_t got = std::fread(buffer, 1, sizeof buffer, f);
            std::fclose(f);
            if (std::string(buffer, got).find(added) != std::string::npos) status = 0;
        }
    }
    if (FILE* f = _wfopen(record.c_str(), L"ab")) {
        std::fprintf(f, "%s\r\n", text.c_str());
        std::fclose(f);
    }
    return status;
}
