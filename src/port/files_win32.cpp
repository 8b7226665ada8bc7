#include "port/files.h"

#include <windows.h>
#include <direct.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdlib>

namespace Varnix::Port {

namespace {

// char16_t and wchar_t are both UTF-16 code units on Windows.
const wchar_t* wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

}  // namespace

bool getWorkingDirectory(char* buffer, std::size_t size) {
    if (size == 0) return false;
    if (!_getcwd(buffer, int(size))) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

bool makeDirectory(const char* narrowPath) {
    return _mkdir(narrowPath) == 0;
}

bool isRegularFile(const char* narrowPath) {
    struct _stat64i32 st;
    return _stat64i32(narrowPath, &st) == 0 && (st.st_mode & 0x8000) != 0;
}

std::int64_t fileSize(const char16_t* path) {
    HANDLE file = CreateFileW(wide(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    LARGE_INTEGER size;
    BOOL ok = GetFileSizeEx(file, &size);
    CloseHandle(file);
    return ok ? std::int64_t(size.QuadPart) : -1;
}

bool deleteFile(const char16_t* path) {
    return DeleteFileW(wide(path)) != FALSE;
}

bool copyFile(const char16_t* from, const char16_t* to) {
    return CopyFileW(wide(from), wide(to), FALSE) != FALSE;
}

const char16_t* developmentDumpCopyPrefix() {
    return u"C:/dump";
}

int runCommandLine(const char* narrowCommand) {
    return std::system(narrowCommand);
}

struct FileSearch::State {
    HANDLE handle = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW data;
    bool hasEntry = false;
};

FileSearch::FileSearch(const char16_t* pattern) : state(new State) {
    state->handle = FindFirstFileW(wide(pattern), &state->data);
    state->hasEntry = state->handle != INVALID_HANDLE_VALUE;
}

FileSearch::~FileSearch() {
    if (state->handle != INVALID_HANDLE_VALUE) FindClose(state->handle);
    delete state;
}

bool FileSearch::hasEntry() const {
    return state->hasEntry;
}

const char16_t* FileSearch::name() const {
    return reinterpret_cast<const char16_t*>(state->data.cFileName);
}

bool FileSearch::isDirectory() const {
    return (state->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void FileSearch::next() {
    if (!state->hasEntry) return;
    state->hasEntry = FindNextFileW(state->handle, &state->data) != FALSE;
    if (!state->hasEntry) {
        FindClose(state->handle);
        state->handle = INVALID_HANDLE_VALUE;
    }
}

}  // namespace Varnix::Port
