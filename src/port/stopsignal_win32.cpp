#include "port/stopsignal.h"

#include "port/thread.h"

#include <atomic>
#include <windows.h>

namespace Varnix::Port {

namespace {

std::atomic<int> requested{0};
HWND shieldedMain = nullptr;  // GUI thread only

LRESULT CALLBACK dropHelperWindowClose(int code, WPARAM removal, LPARAM message) {
    MSG* m = reinterpret_cast<MSG*>(message);
    if (code == HC_ACTION && m->message == WM_CLOSE && m->hwnd != nullptr && m->hwnd != shieldedMain &&
        GetAncestor(m->hwnd, GA_ROOT) == m->hwnd && !IsWindowVisible(m->hwnd))
        m->message = WM_NULL;
    return CallNextHookEx(nullptr, code, removal, message);
}

Mutex& notifyLock() {
    static Mutex lock;
    return lock;
}
void (*notifyFunction)(void*) = nullptr;
void* notifyContext = nullptr;

// The handler runs on a thread the system starts for it, so it tells the
// receiver itself.
void tellStopRequest() {
    MutexLock guard(notifyLock());
    if (notifyFunction != nullptr) notifyFunction(notifyContext);
}

BOOL WINAPI recordStopRequest(DWORD kind) {
    switch (kind) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        // The fourth: the default, which ends the process at once.
        if (requested.fetch_add(1) >= lastStopRequest) return FALSE;
        tellStopRequest();
        if (requested.load() < lastStopRequest) return TRUE;
        // The third: the cut and the stop have this long to tell the master
        // and finish the log, then the default ends a stop that hangs.
        Sleep(10000);
        return FALSE;
    case CTRL_CLOSE_EVENT:
        // The system ends the process when this returns; give the GUI thread
        // a moment to run the close handler first.
        requested.fetch_add(2);  // no time to wait for the job: cut it
        tellStopRequest();
        Sleep(4000);
        return TRUE;
    default: return FALSE;
    }
}

}  // namespace

void watchStopRequests() {
    // Only a program that has a console receives these; a plain GUI start has none.
    SetConsoleCtrlHandler(recordStopRequest, TRUE);
}

int stopRequests() { return requested.load(); }

bool notifyStopRequests(void (*notify)(void* context), void* context) {
    MutexLock guard(notifyLock());
    notifyFunction = notify;
    notifyContext = context;
    return true;
}

void keepCloseFromHelperWindows(void* mainWindow) {
    shieldedMain = static_cast<HWND>(mainWindow);
    // Posted messages pass this hook before any message loop dispatches them.
    SetWindowsHookExW(WH_GETMESSAGE, dropHelperWindowClose, nullptr, GetCurrentThreadId());
}

}  // namespace Varnix::Port
