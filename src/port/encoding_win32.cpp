#include "port/encoding.h"

#include <windows.h>

// Narrow text is the ANSI code page; no flags, so unconvertible characters
// are replaced rather than reported.

namespace Varnix::Port {

int narrowToWide(const char* text, int byteCount, char16_t* out, int outCapacity) {
    return MultiByteToWideChar(CP_ACP, 0, text, byteCount, reinterpret_cast<LPWSTR>(out),
                               out != nullptr ? outCapacity : 0);
}

int wideToNarrow(const char16_t* text, int unitCount, char* out, int outCapacity) {
    return WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWCH>(text), unitCount, out,
                               out != nullptr ? outCapacity : 0, nullptr, nullptr);
}

int fileNameToWide(const char* text, int byteCount, char16_t* out, int outCapacity) {
    return narrowToWide(text, byteCount, out, outCapacity);
}

int wideToFileName(const char16_t* text, int unitCount, char* out, int outCapacity) {
    return wideToNarrow(text, unitCount, out, outCapacity);
}

}  // namespace Varnix::Port
