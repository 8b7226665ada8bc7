#include "config/ConfigUtf8.h"

#include "port/utf8.h"

#include <algorithm>
#include <vector>

namespace Varnix {

String decodeConfigUtf8(const char* bytes, std::size_t count) {
    using Port::Utf8::BadInput;
    String text;
    std::vector<char16_t> units;
    // In pieces that end before a lead or ASCII byte, which no well-formed
    // sequence spans: the codec counts in int, a file's size need not fit.
    constexpr std::size_t pieceBytes = 1 << 20;
    for (std::size_t at = 0; at < count;) {
        std::size_t end = std::min(count, at + pieceBytes);
        for (int back = 0; end < count && back < 3 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80; ++back)
            --end;
        int size = static_cast<int>(end - at);
        int needed = Port::Utf8::decode(bytes + at, size, nullptr, 0, BadInput::keepBytes);
        units.resize(static_cast<std::size_t>(needed));
        Port::Utf8::decode(bytes + at, size, units.data(), needed, BadInput::keepBytes);
        for (char16_t unit : units) text.append(unit);
        at = end;
    }
    return text;
}

}  // namespace Varnix
