// A change notification (FindFirstChangeNotification) for the directory, and
// a Winsock event (WSAEventSelect) for the sockets, waited on together with
// WaitForMultipleObjects. The sockets are non-blocking already, so the event
// selection changes nothing else about them; it is undone after each wait.

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif

#include "port/dirwatch.h"

#include "port/path_win32.h"

#include "port/socket.h"

#include <winsock2.h>
#include <windows.h>

#include <chrono>

namespace Varnix::Port {

namespace {

HANDLE handleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
const std::intptr_t noWatch = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool usable(StreamSocket* socket) {
    return socket && socket->nativeHandle() != static_cast<std::intptr_t>(INVALID_SOCKET);
}

SOCKET sockOf(StreamSocket* socket) { return static_cast<SOCKET>(socket->nativeHandle()); }

bool readableNow(SOCKET s) {
    fd_set readable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&failed);
    FD_SET(s, &readable);
    FD_SET(s, &failed);
    timeval none{0, 0};
    return select(0, &readable, nullptr, &failed, &none) > 0;
}

// Takes a signalled notification and asks for the next one; true when it was signalled.
bool takeChange(DirectoryWatch* watch) {
    if (!watch || !watch->IsOk()) return false;
    HANDLE h = handleOf(watch->nativeHandle());
    if (WaitForSingleObject(h, 0) != WAIT_OBJECT_0) return false;
    FindNextChangeNotification(h);
    return true;
}

}  // namespace

DirectoryWatch::DirectoryWatch(const char16_t* path)
    : handle(reinterpret_cast<std::intptr_t>(FindFirstChangeNotificationW(
          systemPath(path), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE))) {}

DirectoryWatch::~DirectoryWatch() {
    if (handle != noWatch && handle != 0) FindCloseChangeNotification(handleOf(handle));
}

bool DirectoryWatch::IsOk() const { return handle != noWatch && handle != 0; }

Activity waitForActivity(DirectoryWatch* watch, StreamSocket* incoming, StreamSocket* closing, int milliseconds) {
    Activity seen;
    auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds);
    if (incoming && !usable(incoming)) seen.readable = true;  // a read finds the end at once
    WSAEVENT socketEvent = WSACreateEvent();
    bool watchIncoming = usable(incoming) && socketEvent != WSA_INVALID_EVENT;
    bool watchClosing = usable(closing) && socketEvent != WSA_INVALID_EVENT;
    // Selected before the state is looked at, so nothing that comes between is missed.
    if (watchIncoming) WSAEventSelect(sockOf(incoming), socketEvent, FD_READ | FD_CLOSE);
    if (watchClosing) WSAEventSelect(sockOf(closing), socketEvent, FD_CLOSE);
    for (;;) {
        if (takeChange(watch)) seen.directoryChanged = true;
        if (watchIncoming && readableNow(sockOf(incoming))) seen.readable = true;
        if (watchClosing && closing->IsClosed()) seen.closed = true;
        int left = millisecondsLeft(deadline);
        if (seen.any() || left == 0) break;
        HANDLE handles[2];
        DWORD count = 0;
        if (watch && watch->IsOk()) handles[count++] = handleOf(watch->nativeHandle());
        if (watchIncoming || watchClosing) handles[count++] = socketEvent;
        if (count == 0) {
            Sleep(DWORD(left));
            continue;
        }
        DWORD woke = WaitForMultipleObjects(count, handles, FALSE, DWORD(left));
        if (woke == WAIT_FAILED) break;
        // Bytes from the closing side signal the event too: reset it and look again.
        WSAResetEvent(socketEvent);
    }
    if (watchIncoming) WSAEventSelect(sockOf(incoming), nullptr, 0);
    if (watchClosing) WSAEventSelect(sockOf(closing), nullptr, 0);
    if (socketEvent != WSA_INVALID_EVENT) WSACloseEvent(socketEvent);
    return seen;
}

}  // namespace Varnix::Port
