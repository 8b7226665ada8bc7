#include "port/binaryfile.h"

#include "port/path_win32.h"
#include "port/regularfile_win32.h"
#include "port/writefault.h"

#include <windows.h>

namespace Varnix::Port {

namespace {

HANDLE handleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

constexpr std::intptr_t noFile = -1;

}  // namespace

BinaryFile::~BinaryFile() { close(); }

Status BinaryFile::openForReading(const char16_t* path) {
    close();
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, which is then refused.
    HANDLE file = keepIfRegular(
        CreateFileW(systemPath(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file == INVALID_HANDLE_VALUE) {
        // A link or a directory opened and was refused: no error of the system's.
        DWORD error = GetLastError();
        return Status::fromSystem(int(error != 0 ? error : ERROR_CANT_ACCESS_FILE));
    }
    handle = reinterpret_cast<std::intptr_t>(file);
    return Status();
}

Status BinaryFile::createReplacing(const char16_t* path) {
    close();
    // Deleting a link deletes the link, not its target; CREATE_NEW then
    // fails if anything took the name back in between.
    DeleteFileW(systemPath(path));
    HANDLE file = CreateFileW(systemPath(path), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Status::lastFileError();
    handle = reinterpret_cast<std::intptr_t>(file);
    return Status();
}

bool BinaryFile::isOpen() const { return handle != noFile; }

std::int64_t BinaryFile::size() const {
    LARGE_INTEGER size;
    if (handle == noFile || !GetFileSizeEx(handleOf(handle), &size)) return -1;
    return std::int64_t(size.QuadPart);
}

long long BinaryFile::read(void* buffer, std::size_t count) {
    if (handle == noFile) return -1;
    std::size_t done = 0;
    while (done < count) {
        DWORD piece = count - done > 0x40000000 ? 0x40000000 : DWORD(count - done);
        DWORD got = 0;
        if (!ReadFile(handleOf(handle), static_cast<char*>(buffer) + done, piece, &got, nullptr)) return -1;
        if (got == 0) break;
        done += got;
    }
    return static_cast<long long>(done);
}

Status BinaryFile::write(const void* buffer, std::size_t count) {
    if (handle == noFile) return Status::fromSystem(ERROR_INVALID_HANDLE);
    std::size_t done = 0;
    while (done < count) {
        DWORD piece = DWORD(allowedWriteBytes(count - done > 0x40000000 ? 0x40000000 : count - done));
        DWORD put = 0;
        if (piece == 0) SetLastError(ERROR_DISK_FULL);  // a test's limit (writefault.h)
        if (piece == 0 || !WriteFile(handleOf(handle), static_cast<const char*>(buffer) + done, piece, &put, nullptr) ||
            put == 0)
            return Status::lastFileError();
        done += put;
    }
    return Status();
}

Status BinaryFile::close() {
    if (handle == noFile) return Status();
    Status why = CloseHandle(handleOf(handle)) ? Status() : Status::lastFileError();
    handle = noFile;
    return why;
}

}  // namespace Varnix::Port
