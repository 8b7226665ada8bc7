#pragma once

// The check behind every Windows open by name that must not reach a file
// through a link: the name is opened with FILE_FLAG_OPEN_REPARSE_POINT, so a
// link or junction opens itself, and this refuses it. Private to src/port.

#include <windows.h>

namespace Varnix::Port {

// Gives back `file` when it is neither a reparse point nor a directory;
// otherwise closes it and gives INVALID_HANDLE_VALUE (as it does for
// INVALID_HANDLE_VALUE). The caller owns the handle given back. Any thread.
inline HANDLE keepIfRegular(HANDLE file) {
    if (file == INVALID_HANDLE_VALUE) return file;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

}  // namespace Varnix::Port
