// The export parser itself, over bytes in memory: the same on every platform,
// so these cases run under Wine too.
#include "port/registryfile.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Varnix::Port::RegistryFile::Keys;
namespace RegistryFile = Varnix::Port::RegistryFile;

Keys parseText(const std::string& bytes) { return RegistryFile::parse(bytes.data(), bytes.size()); }

// A string value's text, without the terminator the registry stores.
std::u16string textOf(const Keys& keys, const std::u16string& key, const std::u16string& name) {
    auto values = keys.find(key);
    if (values == keys.end()) return u"<no key>";
    auto value = values->second.find(name);
    if (value == values->second.end()) return u"<no value>";
    const std::vector<unsigned char>& data = value->second.data;
    std::u16string text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2)
        text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    if (text.empty() || text.back() != u'\0') return u"<no terminator>";
    text.pop_back();
    return text;
}

const std::string sample = "Windows Registry Editor Version 5.00\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMax\\16.0]\r\n"
                           "\"Installdir\"=\"C:\\\\Program Files\\\\Max \\\"2014\\\"\\\\\"\r\n"
                           "\"Count\"=dword:0000002a\r\n"
                           "\"Path\"=hex(2):25,00,50,00,\\\r\n  00,00\r\n"
                           "[HKLM\\Software\\Gone]\r\n\"X\"=\"y\"\r\n"
                           "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\r\n"
                           "[HKEY_CURRENT_USER\\Software\\Other]\r\n\"U\"=\"user\"\r\n";

TEST(RegistryFileParse, AnExportGivesItsKeysFoldedAndTheirValuesAsStored) {
    Keys keys = parseText(sample);
    const std::u16string max = u"SOFTWARE\\AUTODESK\\3DSMAX\\16.0";
    EXPECT_EQ(textOf(keys, max, u"INSTALLDIR"), u"C:\\Program Files\\Max \"2014\"\\");
    const RegistryFile::Values& values = keys.at(max);
    EXPECT_EQ(values.at(u"COUNT").type, RegistryFile::typeDword);
    EXPECT_EQ(values.at(u"COUNT").data, (std::vector<unsigned char>{0x2a, 0, 0, 0}));
    EXPECT_EQ(values.at(u"PATH").type, 2u);
    EXPECT_EQ(values.at(u"PATH").data, (std::vector<unsigned char>{0x25, 0, 0x50, 0, 0, 0}));
    EXPECT_EQ(keys.count(u"SOFTWARE\\GONE"), 0u) << "a [-key] line deletes the key";
    EXPECT_EQ(keys.size(), 1u) << "only the local machine hive counts";
    EXPECT_TRUE(RegistryFile::keyExists(keys, u"SOFTWARE\\AUTODESK"));
    EXPECT_TRUE(RegistryFile::keyExists(keys, u""));
    EXPECT_FALSE(RegistryFile::keyExists(keys, u"SOFTWARE\\AUTO"));
}

TEST(RegistryFileParse, TheResultDoesNotDependOnHowTheReaderCutsTheBytes) {
    std::u16string wide = u"\uFEFF";
    for (char c : sample) wide.push_back(static_cast<unsigned char>(c));
    std::string utf16;
    for (char16_t unit : wide) utf16 += std::string{static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    for (const std::string& bytes : {sample, "\xEF\xBB\xBF" + sample, utf16}) {
        std::size_t at = 0;
        Keys byteByByte = RegistryFile::parse([&](unsigned char* buffer, std::size_t capacity) -> std::size_t {
            if (at == bytes.size() || capacity == 0) return 0;
            buffer[0] = static_cast<unsigned char>(bytes[at++]);
            return 1;
        });
        Keys whole = parseText(bytes);
        EXPECT_EQ(whole.size(), 1u);
        EXPECT_EQ(textOf(whole, u"SOFTWARE\\AUTODESK\\3DSMAX\\16.0", u"INSTALLDIR"),
                  u"C:\\Program Files\\Max \"2014\"\\");
        ASSERT_EQ(byteByByte.size(), whole.size());
        for (const auto& [path, values] : whole) {
            ASSERT_EQ(byteByByte.count(path), 1u);
            ASSERT_EQ(byteByByte.at(path).size(), values.size());
            for (const auto& [name, value] : values) {
                EXPECT_EQ(byteByByte.at(path).at(name).type, value.type);
                EXPECT_EQ(byteByByte.at(path).at(name).data, value.data);
            }
        }
    }
}

TEST(RegistryFileParse, BadUtf8IsOneReplacementCharacterPerByte) {
    Keys keys = parseText("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnix]\n\"Name\"=\"dump\xE2\x82"
                          "a.exr\"\n"
                          "\"Overlong\"=\"\xC0\xAF\"\n\"Good\"=\"caf\xC3\xA9\"\n");
    EXPECT_EQ(textOf(keys, u"SOFTWARE\\VARNIX", u"NAME"), u"dump\uFFFD\uFFFD"
                                                          u"a.exr");
    EXPECT_EQ(textOf(keys, u"SOFTWARE\\VARNIX", u"OVERLONG"), u"\uFFFD\uFFFD");
    EXPECT_EQ(textOf(keys, u"SOFTWARE\\VARNIX", u"GOOD"), u"caf\u00E9");
}

TEST(RegistryFileParse, JunkAndCutOffInputAreSkipped) {
    std::string junk(1 << 16, '\0');
    for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>((i * 7919) % 251);
    Keys keys = parseText("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good]\n\"Before\"=\"yes\"\n" + junk +
                          "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good]\n\"Cut\"=hex:01,\\\n");
    EXPECT_EQ(textOf(keys, u"SOFTWARE\\GOOD", u"BEFORE"), u"yes");
    EXPECT_EQ(keys.at(u"SOFTWARE\\GOOD").count(u"CUT"), 0u);
    EXPECT_TRUE(parseText("").empty());
    EXPECT_TRUE(parseText("\xFF").empty());
}

}  // namespace
