#include "port/elevate.h"

#include "port/path_win32.h"

#include <windows.h>

#include <shellapi.h>

#include <string>

namespace Varnix::Port {

bool canRunElevated() { return true; }

bool runElevated(const char16_t* program, const char16_t* parameters) {
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    std::wstring path(folder, length);
    path += L'\\';
    path += systemPath(program);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    // No process handle is kept: the command is not waited for.
    info.fMask = SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = path.c_str();
    info.lpParameters = systemPath(parameters);
    info.nShow = SW_HIDE;
    return ShellExecuteExW(&info) != FALSE;
}

}  // namespace Varnix::Port
