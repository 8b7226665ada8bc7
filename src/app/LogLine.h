#pragma once

#include "core/String.h"
#include "port/localtime.h"

namespace Varnix {

// Appends one log line to `pending`: the stamp "%d/%02d/%02d-%02d:%02d:%02d"
// of `when`, three spaces, `text` unchanged up to its NUL, and a line feed.
// Throws std::bad_alloc (leaving a partial line) only when memory runs out.
// No locking: the caller guards `pending`.
void appendLogLine(String& pending, const Port::LocalTime& when, const char16_t* text);

}  // namespace Varnix
