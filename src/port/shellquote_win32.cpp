#include "port/shellquote.h"

#include <windows.h>

namespace Varnix::Port {

std::u16string quoteForCommandLine(const std::u16string& piece, char16_t) { return piece; }

bool interpreterExpandsVariable(const std::u16string& name) {
    // cmd.exe looks names up regardless of case, as this call does.
    std::wstring wide(name.begin(), name.end());
    wchar_t value[1];
    SetLastError(ERROR_SUCCESS);
    DWORD length = GetEnvironmentVariableW(wide.c_str(), value, 1);
    return length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

}  // namespace Varnix::Port
