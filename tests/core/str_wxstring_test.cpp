#include "core/Str.h"
#include "core/StrWxString.h"

#include <gtest/gtest.h>

#include <string>

TEST(NumberText, ToStringOfAWxStringKeepsEveryCharacter)
{
    wxString text = wxString::FromUTF8("2014/02/03-04:05:06 \xC3\xA9\xE2\x82\xAC \xF0\x9F\x98\x80");
    Varnix::String converted = Varnix::Str::toString(text);
    std::u16string expected = u"2014/02/03-04:05:06 \u00e9\u20ac \U0001F600";
    ASSERT_EQ(static_cast<int>(expected.size()), converted.length());
    EXPECT_EQ(expected, std::u16string(converted.wideCString(), expected.size()));
    EXPECT_EQ(0, Varnix::Str::toString(wxString()).length());
}

TEST(NumberText, ToStringOfSixtyFourBitValues)
{
    Varnix::String big = Varnix::Str::toString(-9000000000LL);
    EXPECT_STREQ("-9000000000", big.toNarrow());
}
