#pragma once
// The system's text for a Win32 error code, for the reasons the platform
// layer hands up (log lines name them). Internal to the Win32 files.

#include <windows.h>

#include <string>

namespace Varnix::Port {

// Without the line end and full stop; "error N" when the system has no text.
inline std::string systemErrorText(DWORD code) {
    char* text = nullptr;
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length > 0 && text != nullptr ? std::string(text, length) : "error " + std::to_string(code);
    if (text != nullptr) LocalFree(text);
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message;
}

}  // namespace Varnix::Port
