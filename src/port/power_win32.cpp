#include "port/power.h"

#include <windows.h>

namespace Varnix::Port {

StayAwake::StayAwake(const char16_t* reason) {
    REASON_CONTEXT context = {};
    context.Version = POWER_REQUEST_CONTEXT_VERSION;
    context.Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING;
    // The system keeps the text: `powercfg /requests` shows it to an admin.
    context.Reason.SimpleReasonString = const_cast<LPWSTR>(reinterpret_cast<const wchar_t*>(reason));
    HANDLE request = PowerCreateRequest(&context);
    if (request == INVALID_HANDLE_VALUE || request == nullptr) {
        DWORD error = GetLastError();
        // A system without power requests (Wine) has no sleep to hold off.
        absent = error == ERROR_CALL_NOT_IMPLEMENTED;
        outcome = Status::fromSystem(int(error));
        return;
    }
    if (!PowerSetRequest(request, PowerRequestSystemRequired)) {
        outcome = Status::fromSystem(int(GetLastError()));
        CloseHandle(request);
        return;
    }
    handle = reinterpret_cast<std::intptr_t>(request);
}

StayAwake::~StayAwake() {
    if (handle == -1) return;
    HANDLE request = reinterpret_cast<HANDLE>(handle);
    PowerClearRequest(request, PowerRequestSystemRequired);
    CloseHandle(request);
}

}  // namespace Varnix::Port
