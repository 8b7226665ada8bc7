// The registry file that stands in for the Windows registry: what an export
// may hold and what the two readers make of it.
#include "RegistryTestSupport.h"

#include "config/Registry.h"

#include <cstdio>

using ConfigTest::utf8;

namespace {

class RegistryFileTest : public ConfigTest::RegistryFileTestBase {
protected:
    std::string readString(const char* key, const char16_t* name, bool* found = nullptr) {
        Varnix::String output(u"untouched");
        bool ok = readRegistryString(Varnix::String(key), name, output);
        if (found) *found = ok;
        return ok ? utf8(output) : "<missing>";
    }

    std::string readDword(const char* key, const char16_t* name) {
        std::uint32_t output = 0xDEADBEEF;
        if (!readRegistryDword(Varnix::String(key), name, output)) {
            EXPECT_EQ(output, 0xDEADBEEFu) << "a failed read changed the output";
            return "<missing>";
        }
        char text[16];
        std::snprintf(text, sizeof text, "%08x", output);
        return text;
    }
};

std::string utf16LeWithBom(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

TEST_F(RegistryFileTest, StringValuesKeepEscapedBackslashesAndQuotes) {
    useRegistry(R"([HKEY_LOCAL_MACHINE\SOFTWARE\Autodesk\3dsMax\16.0]
"Installdir"="C:\\Program Files\\Max \"2014\"\\"
"Empty"=""
@="default"
)");
    EXPECT_EQ(readString("SOFTWARE/Autodesk/3dsMax/16.0", u"Installdir"), R"(C:\Program Files\Max "2014"\)");
    bool found = false;
    EXPECT_EQ(readString("SOFTWARE/Autodesk/3dsMax/16.0", u"Empty", &found), "");
    EXPECT_TRUE(found);
    EXPECT_EQ(readString("SOFTWARE/Autodesk/3dsMax/16.0", u""), "default");
}

TEST_F(RegistryFileTest, KeysAndValueNamesIgnoreCaseAndEitherSeparatorWorks) {
    useRegistry("[hkey_local_machine\\Software\\VARNIX\\Sub]\n\"DevelopmentVER\"=dword:0000abcd\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trailing\\]\n\"V\"=dword:1\n");
    EXPECT_EQ(readDword("SOFTWARE/Varnix/sub", u"developmentVer"), "0000abcd");
    EXPECT_EQ(readDword("SOFTWARE/Trailing", u"V"), "00000001");
    EXPECT_EQ(readDword("software\\varnix\\SUB", u"DEVELOPMENTVER"), "0000abcd");
    EXPECT_EQ(readDword("SOFTWARE/Varnix/Other", u"developmentVer"), "<missing>");
    EXPECT_EQ(readDword("SOFTWARE/Varnix/sub", u"missing"), "<missing>");
}

TEST_F(RegistryFileTest, HexValuesAcrossContinuationLines) {
    // REG_EXPAND_SZ "%ProgramFiles%\A\" as regedit wraps it, REG_QWORD, REG_BINARY.
    useRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n"
                "\"Expand\"=hex(2):25,00,50,00,72,00,6f,00,67,00,72,00,61,00,6d,00,46,00,69,00,\\\n"
                "  6c,00,65,00,73,00,25,00,5c,00,\\\n"
                "  41,00,5c,00,00,00\n"
                "\"Qword\"=hex(b):58,4e,52,56,00,00,00,00\n"
                "\"Short\"=hex:34,12\n"
                "\"Odd\"=hex:41,00,42\n"
                "\"None\"=hex:\n");
    EXPECT_EQ(readString("SOFTWARE/T", u"Expand"), "%ProgramFiles%\\A\\");
    EXPECT_EQ(readDword("SOFTWARE/T", u"Qword"), "<missing>") << "8 bytes do not fit a DWORD";
    EXPECT_EQ(readDword("SOFTWARE/T", u"Short"), "00001234") << "a short value is zero-extended";
    EXPECT_EQ(readString("SOFTWARE/T", u"Odd"), "AB") << "odd-length data still ends in a NUL unit";
    EXPECT_EQ(readString("SOFTWARE/T", u"None"), "");
    EXPECT_EQ(readDword("SOFTWARE/T", u"None"), "00000000");
}

TEST_F(RegistryFileTest, Utf16ExportWithWindowsLineEnds) {
    useRegistryBytes(utf16LeWithBom(u"Windows Registry Editor Version 5.00\r\n\r\n"
                                    u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMaxDesign\\15.0]\r\n"
                                    u"\"Installdir\"=\"D:\\\\Désign 2013\\\\\"\r\n"
                                    u"\"Count\"=dword:00000002\r\n"));
    EXPECT_EQ(readString("SOFTWARE/Autodesk/3dsMaxDesign/15.0", u"Installdir"), "D:\\Désign 2013\\");
    EXPECT_EQ(readDword("SOFTWARE/Autodesk/3dsMaxDesign/15.0", u"Count"), "00000002");
}

TEST_F(RegistryFileTest, Utf8ExportWithByteOrderMark) {
    useRegistryBytes("\xEF\xBB\xBFREGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n\"Name\"=\"Ä\"\n");
    EXPECT_EQ(readString("SOFTWARE/T", u"Name"), "Ä");
}

TEST_F(RegistryFileTest, MissingFileIsAnEmptyRegistry) {
    setenv("VARNIX_REGISTRY", pathOf("no-such.reg").c_str(), 1);
    EXPECT_EQ(readString("SOFTWARE/Varnix", u"x"), "<missing>");
    EXPECT_EQ(readDword("SOFTWARE/Varnix", u"x"), "<missing>");
    setenv("VARNIX_REGISTRY", directory.c_str(), 1);  // a directory is no file either
    EXPECT_EQ(readString("SOFTWARE/Varnix", u"x"), "<missing>");
}

TEST_F(RegistryFileTest, OnlyTheLocalMachineHiveCounts) {
    useRegistry("[HKEY_CURRENT_USER\\SOFTWARE\\Varnix]\n\"developmentVer\"=dword:00000001\n"
                "[HKLM\\SOFTWARE\\Short]\n\"A\"=\"b\"\n");
    EXPECT_EQ(readDword("SOFTWARE/Varnix", u"developmentVer"), "<missing>");
    EXPECT_EQ(readString("SOFTWARE/Short", u"A"), "b");
}

TEST_F(RegistryFileTest, LaterLinesWinAndDeletionsApply) {
    useRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"V\"=\"first\"\n\"Gone\"=\"x\"\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Old\\Sub]\n\"V\"=\"old\"\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\OldKeep]\n\"V\"=\"keep\"\n"
                "[HKEY_LOCAL_MACHINE\\software\\a]\n\"v\"=\"second\"\n\"Gone\"=-\n"
                "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n"
                "\"V\"=\"after a deletion header\"\n");
    EXPECT_EQ(readString("SOFTWARE/A", u"V"), "second");
    EXPECT_EQ(readString("SOFTWARE/A", u"Gone"), "<missing>");
    EXPECT_EQ(readString("SOFTWARE/Old/Sub", u"V"), "<missing>");
    EXPECT_EQ(readString("SOFTWARE/OldKeep", u"V"), "keep");
}

TEST_F(RegistryFileTest, AChangedFileIsReadAgain) {
    std::string path = useRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n\"V\"=\"one\"\n");
    EXPECT_EQ(readString("SOFTWARE/T", u"V"), "one");
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n\"V\"=\"three\"\n";
    EXPECT_EQ(readString("SOFTWARE/T", u"V"), "three");
}

}  // namespace
