#include "port/service.h"

#include "port/thread.h"

#include <windows.h>

#include <sddl.h>

#include <string>

namespace Varnix::Port {

namespace {

std::wstring name;
ServiceBody* body = nullptr;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
// A stop that cannot come as a control: the manager refuses every control
// while a service reports "stop pending", so the second stop (the one that
// cuts a job) comes through this event, which the installer sets.
HANDLE stopEvent = nullptr;

Mutex& statusLock() {
    static Mutex lock;
    return lock;
}
SERVICE_STATUS status GUARDED_BY(statusLock()) = {};

void report(DWORD state, DWORD exitCode, DWORD waitHintMs) {
    MutexLock guard(statusLock());
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    // A stop keeps being taken while one waits for a job (where the manager
    // passes it on); the shutdown's notice comes as early as the system
    // gives it, while the network is still up to tell the master.
    status.dwControlsAccepted = state == SERVICE_START_PENDING || state == SERVICE_STOPPED
                                    ? 0
                                    : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
    if (state != status.dwCurrentState || state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        status.dwCheckPoint = 0;
    else
        ++status.dwCheckPoint;
    status.dwCurrentState = state;
    status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = exitCode;
    status.dwWaitHint = waitHintMs;
    SetServiceStatus(statusHandle, &status);
}

// The manager hears at once that the stop has begun: even without a job the
// threads' ends take a moment.
void pass(ServiceControl what) {
    {
        // The stop event may still be set once the service has stopped.
        MutexLock guard(statusLock());
        if (status.dwCurrentState == SERVICE_STOPPED) return;
    }
    report(SERVICE_STOP_PENDING, 0, 10000);
    body->control(what);
}

DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
    switch (code) {
    case SERVICE_CONTROL_STOP: pass(ServiceControl::stop); return NO_ERROR;
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN: pass(ServiceControl::shutdown); return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void watchStopEvent(void*) {
    while (WaitForSingleObject(stopEvent, INFINITE) == WAIT_OBJECT_0) pass(ServiceControl::stop);
}

// "Global\VarnixNode.stop": administrators and the system may set it.
void makeStopEvent() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    std::wstring eventName = L"Global\\" + name + L".stop";
    stopEvent = CreateEventW(&attributes, FALSE, FALSE, eventName.c_str());
    LocalFree(descriptor);
    if (stopEvent == nullptr) return;
    ThreadHandle watcher = createThread(&watchStopEvent, nullptr, 0x10000);
    if (watcher == nullptr) return;
    nameThread(watcher, "MY_ServiceStop");
    closeThread(watcher);  // runs until the process ends
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
    statusHandle = RegisterServiceCtrlHandlerExW(name.c_str(), &control, nullptr);
    if (statusHandle == nullptr) return;
    // The start (the configuration, the ports, DrLog.txt) takes well under this.
    report(SERVICE_START_PENDING, 0, 30000);
    makeStopEvent();
    int exitCode = body->run();
    report(SERVICE_STOPPED, DWORD(exitCode), 0);
}

}  // namespace

bool runAsService(const char16_t* serviceName, ServiceBody& serviceBody) {
    name = reinterpret_cast<const wchar_t*>(serviceName);
    body = &serviceBody;
    SERVICE_TABLE_ENTRYW table[] = {{&name[0], &serviceMain}, {nullptr, nullptr}};
    // Returns once the service has stopped; fails at once for a process the
    // manager did not start.
    return StartServiceCtrlDispatcherW(table) != FALSE;
}

void reportServiceRunning() { report(SERVICE_RUNNING, 0, 0); }

void reportServiceStopping(unsigned waitHintMs) { report(SERVICE_STOP_PENDING, 0, waitHintMs); }

}  // namespace Varnix::Port
