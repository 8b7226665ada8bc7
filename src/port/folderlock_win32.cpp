#include "port/folderlock.h"

#include "port/path_win32.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace Varnix::Port {

namespace {

// The lock covers a byte far past the process id, so that the id stays
// readable by the next start while the lock is held.
constexpr DWORD lockOffsetHigh = 1;

struct WindowSearch {
    DWORD processId;
    const wchar_t* title;
    HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId) return TRUE;
    wchar_t title[256];
    if (GetWindowTextW(window, title, 256) <= 0 || wcscmp(title, search->title) != 0) return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

std::intptr_t FolderLock::lockFile(const std::u16string& path, State& why) {
    // No inherited handle (the default security attributes): a renderer
    // started by the node never keeps the folder locked.
    HANDLE file = CreateFileW(systemPath(path.c_str()), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why = State::unavailable;
        return -1;
    }
    OVERLAPPED at = {};
    at.OffsetHigh = lockOffsetHigh;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        why = GetLastError() == ERROR_LOCK_VIOLATION ? State::heldElsewhere : State::unavailable;
        CloseHandle(file);
        return -1;
    }
    std::string pid = std::to_string(GetCurrentProcessId()) + "\r\n";
    DWORD written = 0;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(file))
        WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
    why = State::held;
    return reinterpret_cast<std::intptr_t>(file);
}

FolderLock::FolderLock(const char16_t* path) : path(path) { handle = lockFile(this->path, current); }

FolderLock::State FolderLock::renew() {
    if (handle == -1) return current;
    BY_HANDLE_FILE_INFORMATION held = {};
    if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle), &held)) return current;
    HANDLE named = CreateFileW(systemPath(path.c_str()), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (named != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION now = {};
        bool same = GetFileInformationByHandle(named, &now) && now.dwVolumeSerialNumber == held.dwVolumeSerialNumber &&
                    now.nFileIndexHigh == held.nFileIndexHigh && now.nFileIndexLow == held.nFileIndexLow;
        CloseHandle(named);
        if (same) return current;
    }
    State state = State::unavailable;
    std::intptr_t renewed = lockFile(path, state);
    // A path that cannot be opened (the folder is gone) keeps the old lock.
    if (renewed == -1 && state == State::unavailable) return current;
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    handle = renewed;
    current = state;
    return current;
}

FolderLock::~FolderLock() {
    if (handle != -1) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

std::uint32_t FolderLock::holderProcessId(const char16_t* path) {
    HANDLE file = CreateFileW(systemPath(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    char text[32] = {};
    DWORD got = 0;
    BOOL read = ReadFile(file, text, sizeof text - 1, &got, nullptr);
    CloseHandle(file);
    return read && got > 0 ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : 0;
}

long otherSessionOf(std::uint32_t processId) {
    DWORD theirs = 0, ours = 0;
    if (processId == 0 || !ProcessIdToSessionId(processId, &theirs) ||
        !ProcessIdToSessionId(GetCurrentProcessId(), &ours) || theirs == ours)
        return -1;
    return long(theirs);
}

void bringWindowForward(std::uint32_t processId, const char16_t* title) {
    if (processId == 0) return;
    WindowSearch search{processId, reinterpret_cast<const wchar_t*>(title), nullptr};
    EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) return;
    // A node hidden in the tray comes back as its tray click would bring it.
    ShowWindow(search.found, IsIconic(search.found) || !IsWindowVisible(search.found) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(search.found);
}

}  // namespace Varnix::Port
