#include "app/WxText.h"

#include <wx/strconv.h>

namespace Varnix {

wxString toWxString(String& text) {
    const char16_t* units = text.wideCString();
    return wxString(reinterpret_cast<const char*>(units), wxMBConvUTF16(),
                    static_cast<size_t>(text.length()) * sizeof(char16_t));
}

}  // namespace Varnix
