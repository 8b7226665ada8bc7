// The text glue between the node's strings and wxWidgets'.
#include "app/WxText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string unitsOf(Varnix::String text) {
    return std::u16string(text.wideCString(), static_cast<size_t>(text.length()));
}

}  // namespace

TEST(WxText, ToStringOfAWxStringKeepsEveryCharacter) {
    wxString text = wxString::FromUTF8("2014/02/03-04:05:06 \xC3\xA9\xE2\x82\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(u"2014/02/03-04:05:06 \u00e9\u20ac \U0001F600", unitsOf(Varnix::toString(text)));
    EXPECT_EQ(0, Varnix::toString(wxString()).length());
}

TEST(WxText, BothWaysGiveBackTheSameUnits) {
    Varnix::String original(u"C:\\Render\\\u00e9t\u00e9 \u20ac \U0001F600 end");
    Varnix::String copy(original);
    wxString shown = Varnix::toWxString(copy);
    EXPECT_EQ(wxString::FromUTF8("C:\\Render\\\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 end"), shown);
    EXPECT_EQ(unitsOf(original), unitsOf(Varnix::toString(shown)));
}
