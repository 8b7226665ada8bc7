#include "port/status.h"

#include "port/systemerror_win32.h"

#include <windows.h>

namespace Varnix::Port {

Status Status::fromSystem(int code) { return withText(code, systemErrorText(DWORD(code))); }

Status Status::lastFileError() { return fromSystem(int(GetLastError())); }

bool Status::isNotFound() const { return !isOk() && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND); }

}  // namespace Varnix::Port
