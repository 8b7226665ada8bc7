#pragma once

#include "core/String.h"

#include <cstddef>

namespace Varnix {

// The text of a DrConfig.txt marked as UTF-8 (without its mark). Well-formed
// sequences become their characters, those beyond the Basic Multilingual
// Plane as surrogate pairs; a byte that does not belong to one becomes
// U+100000 plus its value (as a pair), so that no byte is lost. A sequence
// naming U+100000..U+1000FF itself counts as malformed, its bytes keep
// apart from the mapped ones. Throws std::bad_alloc only; any thread.
String decodeConfigUtf8(const char* bytes, std::size_t count);

}  // namespace Varnix
