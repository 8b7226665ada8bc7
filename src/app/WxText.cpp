#include "app/WxText.h"

#include <wx/strconv.h>

namespace Varnix {

wxString toWxString(String& text) {
    const char16_t* units = text.wideCString();
    return wxString(reinterpret_cast<const char*>(units), wxMBConvUTF16(),
                    static_cast<size_t>(text.length()) * sizeof(char16_t));
}

String toString(const wxString& text) {
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

}  // namespace Varnix
