// A damaged registry file must never bring the node down: what cannot be
// understood is skipped, and every value that can still be read is.
#include "RegistryTestSupport.h"

#include "config/Registry.h"

#include <random>

using ConfigTest::utf8;

namespace {

const std::string goodSection = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good]\n\"Before\"=\"yes\"\n\"Number\"=dword:00000007\n";
const std::string laterSection = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Later]\n\"After\"=\"yes\"\n";

class MalformedRegistryTest : public ConfigTest::RegistryFileTestBase {
protected:
    bool has(const char* key, const char16_t* name) {
        Varnix::String output;
        return readRegistryString(Varnix::String(key), name, output);
    }

    void expectGoodValuesReadable(bool later = true) {
        Varnix::String text;
        EXPECT_TRUE(readRegistryString(Varnix::String("SOFTWARE/Good"), u"Before", text));
        EXPECT_EQ(utf8(text), "yes");
        std::uint32_t number = 0;
        EXPECT_TRUE(readRegistryDword(Varnix::String("SOFTWARE/Good"), u"Number", number));
        EXPECT_EQ(number, 7u);
        if (later) {
            EXPECT_TRUE(readRegistryString(Varnix::String("SOFTWARE/Later"), u"After", text));
            EXPECT_EQ(utf8(text), "yes");
        }
    }
};

TEST_F(MalformedRegistryTest, TruncatedInsideAString) {
    useRegistry(goodSection + "\"Cut\"=\"C:\\\\Program Fi");
    expectGoodValuesReadable(false);
    EXPECT_FALSE(has("SOFTWARE/Good", u"Cut"));
}

TEST_F(MalformedRegistryTest, TruncatedInsideAContinuedHexValue) {
    useRegistry(goodSection + "\"Cut\"=hex(2):41,00,42,00,\\\n  43,00,\\\n");
    expectGoodValuesReadable(false);
    EXPECT_FALSE(has("SOFTWARE/Good", u"Cut"));
}

TEST_F(MalformedRegistryTest, TruncatedSectionHeaderAndOddUtf16Byte) {
    useRegistry(goodSection + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good\n\"Stray\"=\"x\"\n" + laterSection +
                "[HKEY_LOCAL_MACHINE\\SOFT");
    expectGoodValuesReadable();
    EXPECT_FALSE(has("SOFTWARE/Good", u"Stray")) << "values below a broken header belong to no key";

    std::u16string text = u"REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good]\n\"Before\"=\"yes\"\n"
                          u"\"Number\"=dword:00000007\n\"Last\"=\"x";
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) bytes += std::string{static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    bytes.pop_back();  // half a code unit at the end
    useRegistryBytes(bytes);
    expectGoodValuesReadable(false);
    EXPECT_FALSE(has("SOFTWARE/Good", u"Last"));
}

TEST_F(MalformedRegistryTest, BinaryJunkBetweenSections) {
    std::mt19937 random(1234);
    std::string junk;
    for (int i = 0; i < 65536; ++i) junk.push_back(static_cast<char>(random()));
    // Bytes that look like syntax, NULs, and invalid UTF-8.
    junk += std::string("\0\0[\"=\\\xFF\xFE\xC3\x28\xED\xA0\x80\xF4\x90\x80\x80", 16) + "\n";
    useRegistry(goodSection + junk + laterSection + junk);
    expectGoodValuesReadable();
}

TEST_F(MalformedRegistryTest, RandomlyDamagedExportsNeverCrash) {
    const std::string original =
        "Windows Registry Editor Version 5.00\r\n\r\n" + goodSection +
        "\"Hex\"=hex(2):25,00,50,00,72,00,\\\n  6f,00,00,00\n\"Q\"=hex(b):01,02,03,04,05,06,07,08\n" +
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"Gone\"=-\n@=\"d\"\n" + laterSection;
    const char syntax[] = "[]\"=\\,:;-@\n\r\0xhd(2)0f";
    std::mt19937 random(99);
    for (int round = 0; round < 300; ++round) {
        std::string bytes = original;
        int changes = 1 + static_cast<int>(random() % 8);
        for (int c = 0; c < changes; ++c) {
            std::size_t at = random() % bytes.size();
            switch (random() % 3) {
            case 0: bytes[at] = syntax[random() % (sizeof syntax - 1)]; break;
            case 1: bytes.erase(at, 1 + random() % 20); break;
            default: bytes.insert(at, 1, static_cast<char>(random())); break;
            }
            if (bytes.empty()) bytes = "x";
        }
        if (round % 2) bytes.resize(random() % bytes.size());
        useRegistryBytes(bytes);
        Varnix::String text;
        std::uint32_t number;
        for (const char* key : {"SOFTWARE/Good", "SOFTWARE/Later", "SOFTWARE", ""})
            for (const char16_t* name : {u"Before", u"Number", u"Hex", u"Q", u"", u"After"}) {
                readRegistryString(Varnix::String(key), name, text);
                readRegistryDword(Varnix::String(key), name, number);
            }
    }
}

TEST_F(MalformedRegistryTest, HugeLines) {
    std::string bigValue(1 << 20, 'v');
    std::string overlong(17u << 20, 'A');
    useRegistry(goodSection + "\"Big\"=\"" + bigValue + "\"\n" + overlong + "\n\"AfterJunk\"=\"yes\"\n" +
                "\"TooLong\"=\"" + overlong + "\"\n" + laterSection + overlong);
    expectGoodValuesReadable();
    Varnix::String text;
    ASSERT_TRUE(readRegistryString(Varnix::String("SOFTWARE/Good"), u"Big", text));
    EXPECT_EQ(text.length(), 1 << 20);
    EXPECT_TRUE(has("SOFTWARE/Good", u"AfterJunk"));
    EXPECT_FALSE(has("SOFTWARE/Good", u"TooLong"));
}

TEST_F(MalformedRegistryTest, BadHexSkipsOnlyTheBadValue) {
    useRegistry(goodSection +
                "\"NotHex\"=hex:4g,00\n"
                "\"ThreeDigits\"=hex:123\n"
                "\"EmptyByte\"=hex:00,,01\n"
                "\"BadType\"=hex(zz):00\n"
                "\"OpenType\"=hex(2:00\n"
                "\"NineDigits\"=dword:123456789\n"
                "\"NotADword\"=dword:xyz\n"
                "\"EmptyDword\"=dword:\n"
                "\"BadContinuation\"=hex:41,00,\\\n  zz,00\n"
                "\"UnknownType\"=qword:1\n"
                "\"TrailingJunk\"=\"x\" y\n"
                "\"NoEquals\" \"x\"\n" +
                laterSection);
    expectGoodValuesReadable();
    for (const char16_t* name :
         {u"NotHex", u"ThreeDigits", u"EmptyByte", u"BadType", u"OpenType", u"NineDigits", u"NotADword", u"EmptyDword",
          u"BadContinuation", u"UnknownType", u"TrailingJunk", u"NoEquals"})
        EXPECT_FALSE(has("SOFTWARE/Good", name)) << utf8(Varnix::String(name));
}

}  // namespace
