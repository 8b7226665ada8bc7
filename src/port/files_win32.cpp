#include "port/files.h"

#include "port/path_win32.h"
#include "port/regularfile_win32.h"

#include "port/systemerror_win32.h"

#include <windows.h>
#include <direct.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdlib>
#include <string>

namespace Varnix::Port {

std::u16string workingDirectory() {
    wchar_t* name = _wgetcwd(nullptr, 0);
    if (name == nullptr) return std::u16string();
    std::u16string path(reinterpret_cast<const char16_t*>(name));
    std::free(name);
    return path;
}

bool makeDirectory(const char16_t* path) { return _wmkdir(systemPath(path)) == 0; }

bool isRegularFile(const char16_t* path) {
    struct _stat64i32 st;
    return _wstat64i32(systemPath(path), &st) == 0 && (st.st_mode & 0x8000) != 0;
}

std::int64_t fileSize(const char16_t* path) {
    // The link itself is opened, and refused: it is no regular file.
    HANDLE file = keepIfRegular(
        CreateFileW(systemPath(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file == INVALID_HANDLE_VALUE) return -1;
    LARGE_INTEGER size;
    BOOL ok = GetFileSizeEx(file, &size);
    CloseHandle(file);
    return ok ? std::int64_t(size.QuadPart) : -1;
}

bool deleteFile(const char16_t* path) { return DeleteFileW(systemPath(path)) != FALSE; }

bool copyFile(const char16_t* from, const char16_t* to) {
    // Neither end is reached through a link or junction; the target name is
    // freed (a link there is removed, not followed) and created anew.
    HANDLE in = keepIfRegular(
        CreateFileW(systemPath(from), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (in == INVALID_HANDLE_VALUE) return false;
    DeleteFileW(systemPath(to));
    HANDLE out = CreateFileW(systemPath(to), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        CloseHandle(in);
        return false;
    }
    bool ok = true;
    static thread_local char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in, buffer, sizeof buffer, &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        DWORD put = 0;
        if (!WriteFile(out, buffer, got, &put, nullptr) || put != got) {
            ok = false;
            break;
        }
    }
    CloseHandle(in);
    if (!CloseHandle(out)) ok = false;
    return ok;
}

Status canAppendTo(const char16_t* path) {
    HANDLE file =
        CreateFileW(systemPath(path), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Status::lastFileError();
    CloseHandle(file);
    return Status();
}

const char16_t* developmentDumpCopyPrefix() { return u"C:/dump"; }

InputFile::InputFile(const char16_t* path) {
    // Shared like the size query, so that the renderer may go on writing or
    // deleting; a renderer that shares no reading makes the file busy.
    // FILE_FLAG_OPEN_REPARSE_POINT: a link is opened itself, then refused.
    HANDLE file = CreateFileW(systemPath(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        DWORD attributes = GetFileAttributesW(systemPath(path));
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            // A directory cannot be opened as a file; which error says so
            // differs between Windows (access denied) and Wine.
            state = Status::notRegular;
        } else if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
            state = Status::busy;
        } else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            state = attributes == INVALID_FILE_ATTRIBUTES ? Status::gone : Status::noTarget;
        } else {
            state = Status::unreadable;
        }
        why = Port::Status::fromSystem(int(error));
        return;
    }
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(file, &info) != FALSE;
    if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        CloseHandle(file);
        state = Status::link;
        return;
    }
    if (known) {
        id.volume = info.dwVolumeSerialNumber;
        id.index = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    LARGE_INTEGER size;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
        CloseHandle(file);
        state = Status::notRegular;
        return;
    }
    handle = reinterpret_cast<std::intptr_t>(file);
    bytes = std::int64_t(size.QuadPart);
    state = Status::opened;
}

InputFile::~InputFile() { close(); }

long long InputFile::read(void* buffer, std::size_t count) {
    if (handle == -1) return -1;
    DWORD want = count > 0x40000000u ? 0x40000000u : DWORD(count);
    DWORD got = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(handle), buffer, want, &got, nullptr)) return -1;
    return got;
}

long long InputFile::readAt(std::int64_t offset, void* buffer, std::size_t count) {
    if (handle == -1 || offset < 0) return -1;
    HANDLE file = reinterpret_cast<HANDLE>(handle);
    // A read at an offset moves a synchronous handle's position: keep it.
    LARGE_INTEGER zero = {}, position = {};
    if (!SetFilePointerEx(file, zero, &position, FILE_CURRENT)) return -1;
    OVERLAPPED at = {};
    at.Offset = DWORD(std::uint64_t(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = DWORD(std::uint64_t(offset) >> 32);
    DWORD want = count > 0x40000000u ? 0x40000000u : DWORD(count);
    DWORD got = 0;
    bool read = ReadFile(file, buffer, want, &got, &at) != 0 || GetLastError() == ERROR_HANDLE_EOF;
    SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
    return read ? got : -1;
}

void InputFile::close() {
    if (handle == -1) return;
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    handle = -1;
}

struct FileSearch::State {
    HANDLE handle = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW data;
    bool hasEntry = false;
};

FileSearch::FileSearch(const char16_t* pattern) : state(new State) {
    state->handle = FindFirstFileW(systemPath(pattern), &state->data);
    state->hasEntry = state->handle != INVALID_HANDLE_VALUE;
}

FileSearch::~FileSearch() {
    if (state->handle != INVALID_HANDLE_VALUE) FindClose(state->handle);
    delete state;
}

bool FileSearch::hasEntry() const { return state->hasEntry; }

const char16_t* FileSearch::name() const { return reinterpret_cast<const char16_t*>(state->data.cFileName); }

bool FileSearch::isDirectory() const { return (state->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

void FileSearch::next() {
    if (!state->hasEntry) return;
    state->hasEntry = FindNextFileW(state->handle, &state->data) != FALSE;
    if (!state->hasEntry) {
        FindClose(state->handle);
        state->handle = INVALID_HANDLE_VALUE;
    }
}

std::int64_t freeSpaceBytes(const char16_t* folder) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(systemPath(folder), &available, nullptr, nullptr)) return -1;
    return std::int64_t(available.QuadPart);
}

}  // namespace Varnix::Port
