#pragma once

#include "core/String.h"

#include <wx/string.h>

// The glue between the program's text and wxWidgets' own; only the
// application shell, which links wxWidgets, uses it.

namespace Varnix {

// The UTF-16 text of `text` as a wxString (wxString holds UTF-32 on Linux,
// so the units are converted, not reinterpreted). Refreshes the String's
// terminator. Throws std::bad_alloc when memory runs out. Any thread.
wxString toWxString(String& text);

// The text of `text` as a String. Characters outside the Basic Multilingual
// Plane become surrogate pairs; nothing is lost on the way. Throws
// std::bad_alloc when memory runs out. Any thread.
String toString(const wxString& text);

}  // namespace Varnix
