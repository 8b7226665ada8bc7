#include "app/LogLine.h"

#include <cstdio>

namespace Varnix {

void appendLogLine(String& pending, const Port::LocalTime& when, const char16_t* text) {
    char stamp[64];
    int n = std::snprintf(stamp, sizeof stamp, "%d/%02d/%02d-%02d:%02d:%02d", when.year, when.month,
                          when.day, when.hour, when.minute, when.second);
    for (int i = 0; i < n && stamp[i] != '\0'; ++i) pending.append(static_cast<char16_t>(stamp[i]));
    pending.append(u' ').append(u' ').append(u' ');
    for (const char16_t* p = text; *p != 0; ++p) pending.append(*p);
    pending.append(u'\n');
}

}  // namespace Varnix
