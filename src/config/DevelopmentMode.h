#pragma once

#include <cstdint>

namespace Varnix {

// The value of developmentVer under HKLM\SOFTWARE\Varnix (a REG_DWORD) that
// turns development mode on: the characters "VRNX".
constexpr std::uint32_t developmentMagicNumber = 0x56524E58;

// True when developmentVer holds developmentMagicNumber. The registry is
// read on the first call only; the answer holds until the process ends.
// Logs nothing. Any thread.
bool isDevelopmentMode();

}  // namespace Varnix
