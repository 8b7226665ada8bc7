#include "app/WxText.h"

#include <wx/strconv.h>

namespace Varnix {

wxString toWxString(String& text) {
    const char16_t* units = text.wideCString();
    return wxString(reinterpret_cast<const char*>(units), wxMBConvUTF16(),
                    static_cast<size_t>(text.length()) * sizeof(char16_t));
}

String fromWxString(const wxString& text) {
    String result;
    for (wxUniChar c : text) {
        wxUint32 code = c.GetValue();
        if (code < 0x10000) {
            result.append(static_cast<char16_t>(code));
        } else {
            code -= 0x10000;
            result.append(static_cast<char16_t>(0xD800 + (code >> 10)));
            result.append(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        }
    }
    return result;
}

}  // namespace Varnix
