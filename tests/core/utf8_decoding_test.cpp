// One table of byte sequences, decoded by every path that turns bytes into
// the node's text: narrow text, file names, the registry file and directory
// listings. A byte that is not part of well-formed UTF-8 is one unit in all
// of them: U+FFFD in text, its reversible escape in a file name.
#include "support/TempDirectory.h"

#include "port/encoding.h"
#include "port/files.h"
#include "port/registry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Utf8Case {
    const char* what;
    std::string bytes;
    // As a file name decodes: each bad byte b is U+DC00 + b.
    std::u16string asFileName;
};

const std::vector<Utf8Case>& utf8Cases() {
    static const std::vector<Utf8Case> cases = {
        {"ascii", "dump.exr", u"dump.exr"},
        {"two-byte", "caf\xC3\xA9", u"caf\u00E9"},
        {"three-byte", "\xE2\x82\xAC", u"\u20AC"},
        {"four-byte", "\xF0\x9F\x98\x80", u"\U0001F600"},
        {"truncated two-byte at the end", "a\xC3", u"a\xDCC3"},
        {"truncated three-byte at the end", "a\xE2\x82", u"a\xDCE2\xDC82"},
        {"truncated four-byte at the end", "\xF0\x9F\x98", u"\xDCF0\xDC9F\xDC98"},
        {"truncated sequence inside a name",
         "dump\xE2\x82"
         "a.exr",
         u"dump\xDCE2\xDC82"
         u"a.exr"},
        {"overlong two-byte", "\xC0\xAF", u"\xDCC0\xDCAF"},
        {"overlong three-byte", "\xE0\x80\xAF", u"\xDCE0\xDC80\xDCAF"},
        {"overlong four-byte", "\xF0\x80\x80\xAF", u"\xDCF0\xDC80\xDC80\xDCAF"},
        {"encoded high surrogate", "\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},
        {"encoded low surrogate", "\xED\xB2\x80", u"\xDCED\xDCB2\xDC80"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},
        {"bad lead bytes", "\xF5\xFF\xFE", u"\xDCF5\xDCFF\xDCFE"},
        {"lone continuation bytes", "\x80\xBF", u"\xDC80\xDCBF"},
        {"invalid continuation", "\xC3(", u"\xDCC3("},
        {"invalid second continuation", "\xE2\x82(", u"\xDCE2\xDC82("},
        {"bad byte before a good sequence", "\xE2\xC3\xA9", u"\xDCE2\u00E9"},
        {"mixed", "caf\xC3\xA9 \xF0\x9F\x98\x80 \x80", u"caf\u00E9 \U0001F600 \xDC80"},
    };
    return cases;
}

// The same case as narrow text: each escape is a replacement character.
std::u16string asText(const std::u16string& fileName) {
    std::u16string text = fileName;
    for (char16_t& unit : text)
        if (unit >= 0xDC80 && unit <= 0xDCFF) unit = 0xFFFD;
    return text;
}

std::u16string decodeWith(int (*decode)(const char*, int, char16_t*, int), const std::string& bytes) {
    int size = static_cast<int>(bytes.size());
    std::u16string out(static_cast<std::size_t>(decode(bytes.data(), size, nullptr, 0)), u'\0');
    int written = decode(bytes.data(), size, &out[0], static_cast<int>(out.size()));
    EXPECT_EQ(written, static_cast<int>(out.size()));
    return out;
}

std::u16string widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

class Utf8DecodingTest : public VarnixTest::TempDirectoryTest {};

TEST_F(Utf8DecodingTest, NarrowTextAndFileNamesDecodeEachBadByteAsOneUnit) {
    for (const Utf8Case& c : utf8Cases()) {
        EXPECT_EQ(decodeWith(Varnix::Port::narrowToWide, c.bytes), asText(c.asFileName)) << c.what;
        EXPECT_EQ(decodeWith(Varnix::Port::fileNameToWide, c.bytes), c.asFileName) << c.what;
    }
}

TEST_F(Utf8DecodingTest, RegistryFileTextDecodesAsNarrowText) {
    int number = 0;
    for (const Utf8Case& c : utf8Cases()) {
        // A new file each time: the reader keeps a file until it changes.
        std::string name = "registry-" + std::to_string(++number) + ".reg";
        writeBytes(name,
                   "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VarnixUtf8]\n\"V\"=\"" +
                       c.bytes + "\"\n");
        std::string path = pathOf(name);
        setenv("VARNIX_REGISTRY", path.c_str(), 1);
        Varnix::Port::RegistryKey key(u"SOFTWARE\\VarnixUtf8");
        std::uint32_t size = 0;
        ASSERT_TRUE(key.valueSize(u"V", size)) << c.what;
        std::vector<unsigned char> data(size);
        ASSERT_TRUE(key.readValue(u"V", data.data(), size)) << c.what;
        std::u16string value;
        for (std::size_t i = 0; i + 1 < data.size(); i += 2)
            value.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
        EXPECT_EQ(value, asText(c.asFileName) + u'\0') << c.what;
    }
    unsetenv("VARNIX_REGISTRY");
}

TEST_F(Utf8DecodingTest, ListedFileNamesDecodeReversibly) {
    for (const Utf8Case& c : utf8Cases()) {
        std::string sub = "case-" + std::to_string(&c - utf8Cases().data());
        std::filesystem::create_directory(directory / sub);
        writeBytes(sub + "/n-" + c.bytes, "x");
        std::u16string pattern = widen(pathOf(sub)) + u"/n-*";
        Varnix::Port::FileSearch search(pattern.c_str());
        ASSERT_TRUE(search.hasEntry()) << c.what;
        EXPECT_EQ(std::u16string(search.name()), u"n-" + c.asFileName) << c.what;
    }
}

}  // namespace
