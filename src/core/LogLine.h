#pragma once

#include "core/String.h"
#include "port/localtime.h"

#include <cstddef>
#include <string>

namespace Varnix {

// Appends one log line to `pending`: the stamp "%d/%02d/%02d-%02d:%02d:%02d"
// of `when`, three spaces, `text` unchanged up to its NUL, and a line feed.
// Throws std::bad_alloc (leaving a partial line) only when memory runs out.
// No locking: the caller guards `pending`.
void appendLogLine(String& pending, const Port::LocalTime& when, const char16_t* text);

// Longest text a log line keeps, in UTF-16 units. Longer texts keep their
// beginning and a mark that tells the line was cut.
constexpr std::size_t maxLogTextUnits = 4096;

// `text` up to its NUL, cut to maxLogTextUnits with the mark
// " [line cut, N characters in all]" when longer. Any thread.
std::u16string cutLongText(const char16_t* text);

}  // namespace Varnix
