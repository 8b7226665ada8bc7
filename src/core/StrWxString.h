#pragma once

#include "core/Str.h"
#include "core/String.h"

#include <wx/string.h>

// Str::toString for wxWidgets text, kept apart so that the core library
// itself needs no wxWidgets. Include it only where wxWidgets is linked.

namespace Varnix::Str {

// The text of `text` as a String. Characters outside the Basic Multilingual
// Plane become surrogate pairs; nothing is lost on the way. Any thread.
inline String toString(const wxString& text)
{
    String result;
    for (wxString::const_iterator it = text.begin(); it != text.end(); ++it) {
        wxUniChar character = *it;
        unsigned long codePoint = character.GetValue();
        if (codePoint >= 0x10000 && codePoint <= 0x10FFFF) {
            codePoint -= 0x10000;
            result.append(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
            result.append(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
        } else {
            result.append(static_cast<char16_t>(codePoint));
        }
    }
    return result;
}

}  // namespace Varnix::Str
