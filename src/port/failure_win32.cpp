#include "port/failure.h"

#include <windows.h>

namespace Varnix::Port {

void showTaskFailure(const char16_t* text, const char16_t* caption) {
    MessageBoxW(nullptr, reinterpret_cast<LPCWSTR>(text), reinterpret_cast<LPCWSTR>(caption), MB_OK);
}

}  // namespace Varnix::Port
