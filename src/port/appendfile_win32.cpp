#include "port/appendfile.h"

#include "port/path_win32.h"
#include "port/writefault.h"

#include <windows.h>

#include <string>

namespace Varnix::Port {

namespace {

HANDLE asHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

Status writeAll(HANDLE file, const char* bytes, std::size_t size) {
    while (size > 0) {
        DWORD chunk = DWORD(allowedWriteBytes(size > 0x40000000 ? 0x40000000 : size));
        DWORD written = 0;
        if (chunk == 0) SetLastError(ERROR_DISK_FULL);  // a test's limit (writefault.h)
        if (chunk == 0 || !WriteFile(file, bytes, chunk, &written, nullptr) || written == 0)
            return Status::lastFileError();
        bytes += written;
        size -= written;
    }
    return Status();
}

}  // namespace

AppendFile::~AppendFile() { close(); }

Status AppendFile::open(const char16_t* path) {
    // Delete sharing lets an admin delete or rename the log while the node
    // runs; the node then opens a new one.
    HANDLE file = CreateFileW(systemPath(path), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Status::lastFileError();
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        CloseHandle(file);
        return Status::withText(ERROR_CANT_ACCESS_FILE, "it is a symbolic link");
    }
    handle = reinterpret_cast<std::intptr_t>(file);
    return Status();
}

Status AppendFile::append(const char* bytes, std::size_t size) {
    HANDLE file = asHandle(handle);
    LARGE_INTEGER before;
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(file, zero, &before, FILE_END)) return Status::lastFileError();
    // Text files here end their lines in CR LF.
    std::string text;
    text.reserve(size + size / 32 + 2);
    if (torn) text += "\r\n";
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] == '\n') text += '\r';
        text += bytes[i];
    }
    Status written = writeAll(file, text.data(), text.size());
    if (written.isOk()) {
        torn = false;
        return written;
    }
    // A full disk takes part of a write: cut it off again.
    if (!SetFilePointerEx(file, before, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) torn = true;
    return written;
}

std::int64_t AppendFile::size() const {
    LARGE_INTEGER size;
    return GetFileSizeEx(asHandle(handle), &size) ? std::int64_t(size.QuadPart) : -1;
}

bool AppendFile::isStillAt(const char16_t* path) const {
    HANDLE named =
        CreateFileW(systemPath(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    // A deleted file still open here cannot be opened by name either.
    if (named == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION a, b;
    bool same = GetFileInformationByHandle(asHandle(handle), &a) && GetFileInformationByHandle(named, &b) &&
                a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(named);
    return same;
}

void AppendFile::close() {
    if (handle == -1) return;
    CloseHandle(asHandle(handle));
    handle = -1;
}

bool renameReplacing(const char16_t* from, const char16_t* to) {
    return MoveFileExW(systemPath(from), systemPath(to), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

}  // namespace Varnix::Port
