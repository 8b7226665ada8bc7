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

// In development mode only: the free megabytes the node takes the data
// folder's disk to have instead of asking the system (developmentFreeDiskMB,
// a REG_DWORD beside developmentVer), so that a full disk can be tried out
// without filling one. False when unset or not in development mode. Read on
// the first call only. Any thread.
bool developmentFreeDiskMegabytes(std::uint32_t& megabytes);

}  // namespace Varnix
