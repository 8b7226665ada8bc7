// File names on POSIX: bytes, decoded reversibly into the node's text.
#include "core/String.h"
#include "port/path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

Varnix::String fromSystem(const std::string& bytes) {
    return Varnix::String(Varnix::Port::pathFromSystem(bytes.c_str()).c_str());
}

std::string toSystem(Varnix::String path) { return Varnix::Port::narrowPath(path.wideCString()); }

}  // namespace

TEST(StringFileName, NamesThatAreNotUtf8RoundTripByteForByte) {
    for (std::string bytes :
         {std::string("dump\xff.exr"), std::string("\xe9t\xe9"), std::string("a\xc3"), std::string("\xed\xb2\x80"),
          std::string("\xf0\x9f\x98"), std::string("caf\xc3\xa9 \xf0\x9f\x98\x80 \x80\xbf")}) {
        EXPECT_EQ(bytes, toSystem(fromSystem(bytes)));
    }
}

TEST(StringFileName, Utf8NamesDecodeAsText) {
    Varnix::String name = fromSystem("caf\xc3\xa9");
    ASSERT_EQ(4, name.length());
    EXPECT_EQ(u'\u00e9', name[3]);
    EXPECT_EQ(std::string("caf\xc3\xa9"), toSystem(name));
}

TEST(StringFileName, OtherTextKeepsTheNarrowRule) {
    // Outside file names a byte that is not UTF-8 is U+FFFD, as before.
    Varnix::String text("dump\xff.exr");
    EXPECT_EQ(u'\uFFFD', text[4]);
    // A file name shown in a log line or a message is plain narrow text.
    Varnix::String name = fromSystem("dump\xff.exr");
    EXPECT_STREQ("dump?.exr", name.toNarrow());
}
