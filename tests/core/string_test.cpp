#include "core/Str.h"
#include "core/String.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using Varnix::String;

namespace {

std::u16string unitsOf(String& text) { return std::u16string(text.wideCString(), static_cast<size_t>(text.length())); }

}  // namespace

TEST(StringGrowth, EmptyStringsAllocateNothing) {
    String empty;
    EXPECT_EQ(0, empty.length());
    EXPECT_EQ(0, empty.capacity());
    String fromEmptyWide(u"");
    EXPECT_EQ(0, fromEmptyWide.capacity());
    String copy(empty);
    EXPECT_EQ(0, copy.capacity());
}

TEST(StringGrowth, SingleAppendsDoubleTheCapacity) {
    String text;
    const int expected[] = {1, 2, 4, 4, 8, 8, 8, 8, 16};
    for (int i = 0; i < 9; ++i) {
        text.append(static_cast<char16_t>(u'a' + i));
        EXPECT_EQ(expected[i], text.capacity()) << "after " << i + 1 << " appends";
    }
    EXPECT_EQ(u"abcdefghi", unitsOf(text));
}

TEST(StringGrowth, NarrowConstructionSizesExactlyWithTerminator) {
    String abc("abc");
    EXPECT_EQ(3, abc.length());
    EXPECT_EQ(4, abc.capacity());
    // The terminator store fits; the next append doubles.
    abc.wideCString();
    EXPECT_EQ(4, abc.capacity());
    abc.append(u'd');
    abc.append(u'e');
    EXPECT_EQ(8, abc.capacity());
}

TEST(StringGrowth, AppendingAStringGrowsByTheLargerOfDoubleAndNeeded) {
    String text(u"ab");  // capacity 2
    text += String(u"cdefghij");
    EXPECT_EQ(10, text.length());
    EXPECT_EQ(u"abcdefghij", unitsOf(text));
    text += text;  // appending itself sees its own original length
    EXPECT_EQ(u"abcdefghijabcdefghij", unitsOf(text));
}

TEST(StringCopy, CopyKeepsTheWholeCapacity) {
    String text(u"abcde");  // capacity 8
    text.erase(3);
    ASSERT_EQ(3, text.length());
    ASSERT_EQ(8, text.capacity());
    String copy(text);
    EXPECT_EQ(8, copy.capacity());
    EXPECT_EQ(3, copy.length());
    EXPECT_EQ(u"abc", unitsOf(copy));
}

TEST(StringCopy, CopiesAreIndependent) {
    String original(u"hello");
    String copy(original);
    copy[0] = u'j';
    copy.append(u'!');
    EXPECT_EQ(u"hello", unitsOf(original));
    EXPECT_EQ(u"jello!", unitsOf(copy));
}

TEST(StringCopy, AssignmentTakesTheCapacityOfTheSource) {
    String target(u"a very long text indeed");
    String source(u"xy");
    target = source;
    EXPECT_EQ(2, target.length());
    EXPECT_EQ(source.capacity(), target.capacity());
    EXPECT_EQ(u"xy", unitsOf(target));
    target = String();
    EXPECT_EQ(0, target.length());
    EXPECT_EQ(0, target.capacity());
}

TEST(StringCopy, AssignmentLeavesTheNarrowCacheAlone) {
    String target("first");
    target.toNarrow();
    String source("second, longer");
    target = source;
    EXPECT_EQ(6, target.narrowLength());  // still "first" + NUL until toNarrow
    EXPECT_STREQ("second, longer", target.toNarrow());
    EXPECT_EQ(15, target.narrowLength());
}

TEST(StringCopy, SwapExchangesTextStorageAndNarrowCache) {
    String pending(u"line one\n");
    for (int i = 0; i < 100; ++i) pending.append(u'x');
    String spare(u"old");
    spare.clear();
    (void)pending.toNarrow();
    const std::int32_t pendingCapacity = pending.capacity();
    const std::int32_t spareCapacity = spare.capacity();

    pending.swap(spare);

    EXPECT_EQ(0, pending.length());
    EXPECT_EQ(spareCapacity, pending.capacity());
    EXPECT_EQ(pendingCapacity, spare.capacity());
    EXPECT_EQ(109, spare.length());
    EXPECT_EQ(110, spare.narrowLength());
    EXPECT_EQ(0, std::strncmp("line one\nxxx", spare.toNarrow(), 12));
    // Both keep working on their own storage afterwards.
    pending.append(u'a');
    EXPECT_EQ(u"a", unitsOf(pending));
    EXPECT_EQ(u'x', spare[108]);
}

TEST(StringConversion, EmptyToNarrowAllocatesTheTerminatorOnly) {
    String empty;
    EXPECT_STREQ("", empty.toNarrow());
    EXPECT_EQ(1, empty.narrowLength());
    EXPECT_EQ(1, empty.capacity());
    EXPECT_EQ(0, empty.length());
}

TEST(StringConversion, TerminatorStoresDoNotChangeTheText) {
    String text(u"ab");
    EXPECT_STREQ("ab", text.toNarrow());
    EXPECT_EQ(2, text.length());
    text.append(u'c');  // overwrites the stored terminator
    EXPECT_EQ(u"abc", unitsOf(text));
    EXPECT_STREQ("abc", text.toNarrow());
    EXPECT_EQ(4, text.narrowLength());
}

TEST(StringConversion, NarrowCacheOnlyGrowsAndIsRefreshed) {
    String text(u"a long line of text");
    text.toNarrow();
    text.clear();
    text.append(u'x');
    EXPECT_STREQ("x", text.toNarrow());
    EXPECT_EQ(2, text.narrowLength());
}

TEST(StringConversion, CopyCarriesTheNarrowCache) {
    String text(u"cached");
    text.toNarrow();
    String copy(text);
    EXPECT_EQ(7, copy.narrowLength());
}

TEST(StringConversion, RoundTripsNonAsciiText) {
    // e acute, euro sign, a character beyond the BMP (a surrogate pair).
    const char16_t wide[] = {u'\u00e9', u'\u20ac', 0xD83D, 0xDE00, 0};
    String text(wide);
    String back(text.toNarrow());
    EXPECT_EQ(text, back);
    EXPECT_EQ(4, back.length());
}

// On POSIX narrow text is UTF-8; these pin the conversion rules there. On
// Windows the ANSI code page decides, so the expectations differ.
TEST(StringConversion, NarrowIsUtf8WithReplacements) {
    String euro(u"\u20ac");
    const char* narrow = euro.toNarrow();
    if (std::strcmp(narrow, "\xE2\x82\xAC") != 0) GTEST_SKIP() << "narrow text is not UTF-8 here";
    // A lone surrogate has no narrow form.
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    String loneText(lone);
    EXPECT_STREQ("a?b", loneText.toNarrow());
    // Bytes that are not UTF-8 become U+FFFD, one per byte.
    String bad("x\xFFy\xE2\x82z\xC0\xAF");
    EXPECT_EQ(u"x\uFFFDy\uFFFD\uFFFDz\uFFFD\uFFFD", unitsOf(bad));
    String surrogateBytes("\xED\xA0\x80");
    EXPECT_EQ(u"\uFFFD\uFFFD\uFFFD", unitsOf(surrogateBytes));
    String fourBytes("\xF0\x9F\x98\x80");
    EXPECT_EQ(u"\U0001F600", unitsOf(fourBytes));
}

TEST(StringConcatenation, AllThreeFormsKeepOrder) {
    String right(u"tail");
    String narrowLeft = "head-" + right;
    EXPECT_EQ(u"head-tail", unitsOf(narrowLeft));
    String wide = u"wide-" + String(u"tail");
    EXPECT_EQ(u"wide-tail", unitsOf(wide));
    String both = String(u"left") + String(u"right");
    EXPECT_EQ(u"leftright", unitsOf(both));
}

TEST(StringEditing, TrimRemovesTheSixWhitespaceCharacters) {
    String only(u"\n\t\v\f\r ");
    only.trim();
    EXPECT_EQ(0, only.length());
    EXPECT_EQ(8, only.capacity());  // storage stays

    String text(u"  a b \r\n");
    text.trim();
    EXPECT_EQ(u"a b", unitsOf(text));
    EXPECT_EQ(4, text.capacity());  // the substring's storage

    String inner(u"x\t y");
    inner.trim();
    EXPECT_EQ(u"x\t y", unitsOf(inner));

    String empty;
    empty.trim();
    EXPECT_EQ(0, empty.length());
}

TEST(StringEditing, SubstringClampsTheCount) {
    String text(u"abcdef");
    String tail = text.substring(2, 100);
    EXPECT_EQ(u"cdef", unitsOf(tail));
    String middle = text.substring(1, 2);
    EXPECT_EQ(u"bc", unitsOf(middle));
    EXPECT_EQ(0, text.substring(6, 3).length());
    EXPECT_EQ(0, text.substring(0, 0).length());
}

TEST(StringEditing, EraseClampsAndKeepsStorage) {
    String text(u"abcdef");
    text.erase(5, 1);
    EXPECT_EQ(u"abcde", unitsOf(text));
    text.erase(2, 0);
    EXPECT_EQ(u"abcde", unitsOf(text));
    text.erase(1, 2);
    EXPECT_EQ(u"ade", unitsOf(text));
    text.erase(10);
    EXPECT_EQ(u"ade", unitsOf(text));
    text.erase(1);
    EXPECT_EQ(u"a", unitsOf(text));
    EXPECT_EQ(8, text.capacity());
    text.erase(0, -4);
    EXPECT_EQ(u"a", unitsOf(text));
}

TEST(StringEditing, ReplaceAllTurnsSlashesIntoBackslashes) {
    String path(u"C:/Program Files/Autodesk/");
    path.replaceAll(u'/', u'\\');
    EXPECT_EQ(u"C:\\Program Files\\Autodesk\\", unitsOf(path));
}

TEST(NumberText, ToStringIsPlainDecimal) {
    String negative = Varnix::Str::toString(-5);
    EXPECT_EQ(u"-5", unitsOf(negative));
    EXPECT_EQ(3, negative.capacity());
    String big = Varnix::Str::toString(1234567);
    EXPECT_EQ(u"1234567", unitsOf(big));
    String longValue = Varnix::Str::toString(-2147483647L - 1);
    EXPECT_EQ(u"-2147483648", unitsOf(longValue));
}

TEST(NumberText, ToStringOfSixtyFourBitValues) {
    Varnix::String big = Varnix::Str::toString(-9000000000LL);
    EXPECT_STREQ("-9000000000", big.toNarrow());
}

TEST(NumberText, GetFormattedGroupsAndSwitchesToMillions) {
    struct Case {
        unsigned long long value;
        const char16_t* text;
    };
    const Case cases[] = {
        {0ULL, u"0"},
        {999ULL, u"999"},
        {1000ULL, u"1,000"},
        {1234567ULL, u"1,234,567"},
        {99999999ULL, u"99,999,999"},
        {100000000ULL, u"100 M"},
        {199999999ULL, u"199 M"},
        {1234567890ULL, u"1,234 M"},
        {18446744073709551615ULL, u"18,446,744,073,709 M"},
    };
    for (const Case& c : cases) {
        String text = Varnix::Str::getFormatted(c.value);
        EXPECT_EQ(std::u16string(c.text), unitsOf(text)) << c.value;
    }
}
