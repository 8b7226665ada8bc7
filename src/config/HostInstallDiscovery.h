#pragma once

#include "core/String.h"

#include <cstdint>

namespace Varnix {

// Finds the install directory that the 3ds Max (or 3ds Max Design) installer
// of release `year` recorded in the registry: the "Installdir" value of the
// version key, tried for both product families without a language suffix,
// then with each language suffix in turn. True with `directory` set to the
// first value found, exactly as stored; false, `directory` untouched, when
// none of the 14 keys holds one. Logs nothing. One thread at a time.
bool findHostInstall(std::int32_t year, String& directory);

}  // namespace Varnix
