#include "core/LogLine.h"

#include <cstdio>

namespace Varnix {

void appendLogLine(String& pending, const Port::LocalTime& when, const char16_t* text) {
    char stamp[64];
    int n = std::snprintf(stamp, sizeof stamp, "%d/%02d/%02d-%02d:%02d:%02d", when.year, when.month, when.day,
                          when.hour, when.minute, when.second);
    for (int i = 0; i < n && stamp[i] != '\0'; ++i) pending.append(static_cast<char16_t>(stamp[i]));
    pending.append(u' ').append(u' ').append(u' ');
    for (const char16_t* p = text; *p != 0; ++p) pending.append(*p);
    pending.append(u'\n');
}

std::u16string cutLongText(const char16_t* text) {
    std::size_t length = 0;
    while (text[length] != 0) ++length;
    if (length <= maxLogTextUnits) return std::u16string(text, length);
    std::size_t cut = maxLogTextUnits;
    if (text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) --cut;  // keep a surrogate pair whole
    std::string count = std::to_string(length);
    std::u16string grouped;
    for (std::size_t i = 0; i < count.size(); ++i) {
        if (i > 0 && (count.size() - i) % 3 == 0) grouped += u',';
        grouped += char16_t(count[i]);
    }
    return std::u16string(text, cut) + u" [line cut, " + grouped + u" characters in all]";
}

}  // namespace Varnix
