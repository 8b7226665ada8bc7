#pragma once
// Text that came from the network, made safe for a log line: a peer must not
// be able to forge log lines or put terminal escape sequences into
// DrLog.txt. Pure functions, any thread.

#include "core/String.h"

namespace Varnix {

// `text` with every control character (U+0000-U+001F, U+007F, U+0080-U+009F)
// but the tab written as \xNN (two hex digits, upper case) and every
// backslash doubled, so the result is one line and can be read back
// unambiguously. Ordinary text (digits, letters, white space within a line,
// punctuation) comes back unchanged: a tab ends no line and starts no escape
// sequence, and masters may put one between the parameters.
String shownAsText(const String& text);

}  // namespace Varnix
