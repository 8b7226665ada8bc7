#pragma once

#include "core/String.h"

#include <cstdint>

namespace Varnix {

// Reading single values below HKEY_LOCAL_MACHINE (64-bit view). Key paths may
// use "/" or "\" between names. Nothing is logged, shown or thrown except
// std::bad_alloc. Any thread.

// Reads value `valueName` of `keyPath` as UTF-16 text up to its first NUL,
// whatever the value's type, exactly as stored. True when read; on false
// `output` is left as it was.
bool readRegistryString(String keyPath, const char16_t* valueName, String& output);

// Reads value `valueName` of `keyPath` into 4 bytes (little-endian; a shorter
// value is zero-extended). A value of more than 4 bytes fails. The type is
// not examined. True when read; on false `output` is left as it was.
bool readRegistryDword(String keyPath, const char16_t* valueName, std::uint32_t& output);

}  // namespace Varnix
