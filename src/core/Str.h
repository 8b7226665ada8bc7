#pragma once

#include "core/String.h"

#include <cstdint>

// Number-to-text helpers. All throw std::bad_alloc only; any thread.

namespace Varnix::Str {

// Plain decimal text, no digit grouping: -5 gives "-5".
String toString(int value);
String toString(long value);
// Also for 64-bit values, where long is 32 bits wide (Windows).
String toString(long long value);

// A count grouped by thousands with ','; from 100,000,000 on the whole
// millions (cut, not rounded) followed by " M": 1234567890 gives "1,234 M".
String getFormatted(std::uint64_t value);

}  // namespace Varnix::Str
