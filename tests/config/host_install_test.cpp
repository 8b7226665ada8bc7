// Finding a 3ds Max release's install directory among the keys its
// installer may have written.
#include "RegistryTestSupport.h"

#include "config/HostInstallDiscovery.h"

using ConfigTest::utf8;

namespace {

class HostInstallTest : public ConfigTest::RegistryFileTestBase {
protected:
    // "<none>" when nothing was found; the output must then be untouched.
    std::string find(int year) {
        Varnix::String directory(u"untouched");
        if (!findHostInstall(year, directory)) {
            EXPECT_EQ(utf8(directory), "untouched");
            return "<none>";
        }
        return utf8(directory);
    }

    static std::string installDir(const std::string& key, const std::string& value) {
        return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\" + key + "]\n\"Installdir\"=\"" + value + "\"\n";
    }
};

// The 14 keys for 2013, in the order they must be tried.
const char* const probeOrder2013[] = {
    "3dsMax\\15.0",
    "3dsMaxDesign\\15.0",
    "3dsMax\\15.0\\MAX-1:409",
    "3dsMaxDesign\\15.0\\MAX-1:409",
    "3dsMax\\15.0\\MAX-1:40C",
    "3dsMaxDesign\\15.0\\MAX-1:40C",
    "3dsMax\\15.0\\MAX-1:407",
    "3dsMaxDesign\\15.0\\MAX-1:407",
    "3dsMax\\15.0\\MAX-1:411",
    "3dsMaxDesign\\15.0\\MAX-1:411",
    "3dsMax\\15.0\\MAX-1:412",
    "3dsMaxDesign\\15.0\\MAX-1:412",
    "3dsMax\\15.0\\MAX-1:804",
    "3dsMaxDesign\\15.0\\MAX-1:804",
};

TEST_F(HostInstallTest, DesignGermanKeyIsFoundOnTheEighthAttemptWithItsTrailingBackslash) {
    useRegistry(installDir("3dsMaxDesign\\15.0\\MAX-1:407", "D:\\\\Design 2013\\\\"));
    EXPECT_EQ(probeOrder2013[7], std::string("3dsMaxDesign\\15.0\\MAX-1:407"));
    EXPECT_EQ(find(2013), "D:\\Design 2013\\");
}

TEST_F(HostInstallTest, KeysAreTriedInTheirOrder) {
    // With the keys from position k on present, the one at k must win.
    for (int k = 0; k < 14; ++k) {
        std::string body;
        for (int j = 13; j >= k; --j) body += installDir(probeOrder2013[j], "probe " + std::to_string(j));
        useRegistry(body);
        EXPECT_EQ(find(2013), "probe " + std::to_string(k));
    }
}

TEST_F(HostInstallTest, MaxBeatsDesignAtTheSameStep) {
    useRegistry(installDir("3dsMaxDesign\\17.0", "D:\\\\Design") + installDir("3dsMax\\17.0", "C:\\\\Max"));
    EXPECT_EQ(find(2015), "C:\\Max");
}

TEST_F(HostInstallTest, DesignKeyWithoutSuffixBeatsALanguageKey) {
    useRegistry(installDir("3dsMax\\16.0\\MAX-1:409", "C:\\\\Max") + installDir("3dsMaxDesign\\16.0", "D:\\\\Design"));
    EXPECT_EQ(find(2014), "D:\\Design");
}

TEST_F(HostInstallTest, AnEmptyDirectoryIsFound) {
    useRegistry(installDir("3dsMax\\18.0", ""));
    EXPECT_EQ(find(2016), "");
}

TEST_F(HostInstallTest, ExpandableStringIsNotExpanded) {
    // REG_EXPAND_SZ "%ProgramFiles%\Max\"
    useRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMax\\13.0]\n"
                "\"Installdir\"=hex(2):25,00,50,00,72,00,6f,00,67,00,72,00,61,00,6d,00,46,00,69,00,\\\n"
                "  6c,00,65,00,73,00,25,00,5c,00,4d,00,61,00,78,00,5c,00,00,00\n");
    EXPECT_EQ(find(2011), "%ProgramFiles%\\Max\\");
}

TEST_F(HostInstallTest, OtherYearsKeysAndOtherValuesDoNotCount) {
    useRegistry(installDir("3dsMax\\16.0", "C:\\\\Max 2014") + installDir("3dsMax\\14.0x", "C:\\\\Wrong") +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMax\\14.0]\n\"InstallPath\"=\"C:\\\\Other\"\n" +
                installDir("3dsMaxDesign\\14.0\\MAX-1:804", "D:\\\\Chinese"));
    EXPECT_EQ(find(2013), "<none>");
    EXPECT_EQ(find(2012), "D:\\Chinese") << "a key without Installdir does not end the search";
    EXPECT_EQ(find(2014), "C:\\Max 2014");
}

}  // namespace
