#pragma once

#include "core/String.h"

#include <wx/string.h>

namespace Varnix {

// The UTF-16 text of `text` as a wxString (wxString holds UTF-32 on Linux,
// so the units are converted, not reinterpreted). Refreshes the String's
// terminator. Throws std::bad_alloc when memory runs out. Any thread.
wxString toWxString(String& text);

}  // namespace Varnix
