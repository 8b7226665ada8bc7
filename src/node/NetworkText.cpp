#include "node/NetworkText.h"

namespace Varnix {

String shownAsText(const String& text) {
    static const char16_t hex[] = u"0123456789ABCDEF";
    String shown;
    for (std::int32_t i = 0; i < text.length(); ++i) {
        char16_t c = text[i];
        if ((c < 0x20 && c != u'\t') || (c >= 0x7F && c <= 0x9F)) {
            shown.append(u'\\').append(u'x').append(hex[(c >> 4) & 0xF]).append(hex[c & 0xF]);
        } else if (c == u'\\') {
            shown.append(u'\\').append(u'\\');
        } else {
            shown.append(c);
        }
    }
    return shown;
}

}  // namespace Varnix
