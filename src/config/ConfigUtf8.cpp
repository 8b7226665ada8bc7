#include "config/ConfigUtf8.h"

#include <cstdint>

namespace {

constexpr std::uint32_t byteMapBase = 0x100000;

void appendCodePoint(Varnix::String& text, std::uint32_t codePoint)
{
    if (codePoint < 0x10000) {
        text.append(static_cast<char16_t>(codePoint));
        return;
    }
    codePoint -= 0x10000;
    text.append(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
    text.append(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
}

// The character of the well-formed sequence at `at`, and its length in
// `length`; false when none starts there. Lone surrogates are taken as they
// are: the file may name a directory that only such a name reaches.
bool decodeSequence(const unsigned char* at, std::size_t left, std::uint32_t& codePoint, std::size_t& length)
{
    unsigned char lead = at[0];
    std::uint32_t smallest;
    if (lead >= 0xC0 && lead < 0xE0) {
        length = 2;
        codePoint = lead & 0x1F;
        smallest = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
        length = 3;
        codePoint = lead & 0x0F;
        smallest = 0x800;
    } else if (lead >= 0xF0 && lead < 0xF8) {
        length = 4;
        codePoint = lead & 0x07;
        smallest = 0x10000;
    } else {
        return false;
    }
    if (left < length)
        return false;
    for (std::size_t i = 1; i < length; ++i) {
        if ((at[i] & 0xC0) != 0x80)
            return false;
        codePoint = codePoint << 6 | (at[i] & 0x3F);
    }
    if (codePoint < smallest || codePoint > 0x10FFFF)
        return false;
    return codePoint < byteMapBase || codePoint >= byteMapBase + 0x100;
}

}  // namespace

Varnix::String decodeConfigUtf8(const char* bytes, std::size_t count)
{
    Varnix::String text;
    const auto* at = reinterpret_cast<const unsigned char*>(bytes);
    for (std::size_t i = 0; i < count;) {
        if (at[i] < 0x80) {
            text.append(static_cast<char16_t>(at[i]));
            ++i;
            continue;
        }
        std::uint32_t codePoint = 0;
        std::size_t length = 0;
        if (decodeSequence(at + i, count - i, codePoint, length)) {
            appendCodePoint(text, codePoint);
            i += length;
        } else {
            appendCodePoint(text, byteMapBase + at[i]);
            ++i;
        }
    }
    return text;
}
