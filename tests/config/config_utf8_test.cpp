// Decoding of a DrConfig.txt marked as UTF-8: every byte comes out as
// something, and malformed bytes keep apart from characters.
#include "config/ConfigUtf8.h"

#include <gtest/gtest.h>

#include <string>

using Varnix::decodeConfigUtf8;

namespace {

std::u16string decoded(const std::string& bytes) {
    Varnix::String text = decodeConfigUtf8(bytes.data(), bytes.size());
    return std::u16string(text.wideCString(), static_cast<std::size_t>(text.length()));
}

// The pair that stands for one byte outside a well-formed sequence.
std::u16string mapped(unsigned char byte) { return std::u16string{char16_t(0xDBC0), char16_t(0xDC00 + byte)}; }

}  // namespace

TEST(ConfigUtf8, WellFormedSequencesOfEveryLength) {
    EXPECT_EQ(decoded(""), u"");
    EXPECT_EQ(decoded("2014 C:\\Max"), u"2014 C:\\Max");
    EXPECT_EQ(decoded(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
    EXPECT_EQ(decoded("\xC3\xB6\xE6\xB8\xB2\xF0\x9F\x98\x80"), u"\u00F6\u6E32\U0001F600");
    EXPECT_EQ(decoded("\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"), u"\u0080\u07FF\u0800\uFFFF");
    EXPECT_EQ(decoded("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"), u"\U00010000\U0010FFFF");
    EXPECT_EQ(decoded("\xF3\xBF\xBF\xBF\xF4\x80\x84\x80"), u"\U000FFFFF\U00100100");
    // An encoded surrogate is taken as the unit it names.
    EXPECT_EQ(decoded("\xED\xA0\x80"), std::u16string(1, char16_t(0xD800)));
}

TEST(ConfigUtf8, EachMalformedByteBecomesItsOwnCharacter) {
    // A Latin-1 byte, a lone continuation, a lead without its continuations.
    EXPECT_EQ(decoded("Caf\xE9"), u"Caf" + mapped(0xE9));
    EXPECT_EQ(decoded("\x80x"), mapped(0x80) + u"x");
    EXPECT_EQ(decoded("\xE6\xB8"), mapped(0xE6) + mapped(0xB8));
    EXPECT_EQ(decoded("\xE6\xB8x\xC3"), mapped(0xE6) + mapped(0xB8) + u"x" + mapped(0xC3));
    // Overlong forms.
    EXPECT_EQ(decoded("\xC0\x80"), mapped(0xC0) + mapped(0x80));
    EXPECT_EQ(decoded("\xE0\x9F\xBF"), mapped(0xE0) + mapped(0x9F) + mapped(0xBF));
    EXPECT_EQ(decoded("\xF0\x8F\xBF\xBF"), mapped(0xF0) + mapped(0x8F) + mapped(0xBF) + mapped(0xBF));
    // Beyond U+10FFFF, and the old five- and six-byte forms.
    EXPECT_EQ(decoded("\xF4\x90\x80\x80"), mapped(0xF4) + mapped(0x90) + mapped(0x80) + mapped(0x80));
    EXPECT_EQ(decoded("\xF8\x88\x80\x80\x80"),
              mapped(0xF8) + mapped(0x88) + mapped(0x80) + mapped(0x80) + mapped(0x80));
    EXPECT_EQ(decoded("\xFE\xFF"), mapped(0xFE) + mapped(0xFF));
    // A well-formed sequence right after a malformed byte still decodes.
    EXPECT_EQ(decoded("\xC3\xC3\xA9"), mapped(0xC3) + u"\u00E9");
}

TEST(ConfigUtf8, CharactersThatStandForBytesAreNotTakenFromTheFile) {
    // U+100000..U+1000FF written out in the file would read back as the
    // bytes they stand for: they are malformed here, byte by byte.
    EXPECT_EQ(decoded("\xF4\x80\x80\x80"), mapped(0xF4) + mapped(0x80) + mapped(0x80) + mapped(0x80));
    EXPECT_EQ(decoded("\xF4\x80\x83\xBF"), mapped(0xF4) + mapped(0x80) + mapped(0x83) + mapped(0xBF));
}

TEST(ConfigUtf8, ALongFileDecodesTheSameWhereverItsSequencesFall) {
    // Files over a megabyte are decoded in pieces: every kind of sequence is
    // placed across each point a piece could end, and must come out whole.
    const std::string tails[] = {"\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\x80\x80\x80\x80\x80", "\xC3\xC3\xA9"};
    const std::u16string expected[] = {u"\u20AC", u"\U0001F600",
                                       mapped(0x80) + mapped(0x80) + mapped(0x80) + mapped(0x80) + mapped(0x80),
                                       mapped(0xC3) + u"\u00E9"};
    for (std::size_t k = 0; k < 4; ++k) {
        for (std::size_t before = (1 << 20) - 5; before <= (1 << 20); ++before) {
            std::string bytes = std::string(before, 'a') + tails[k] + "z";
            std::u16string text = decoded(bytes);
            ASSERT_EQ(text, std::u16string(before, u'a') + expected[k] + u"z") << k << " after " << before;
        }
    }
}
