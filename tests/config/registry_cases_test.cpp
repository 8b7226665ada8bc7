// The farm-machine registry of registry-cases.reg, read through the platform
// layer: on Windows the real registry (scripts/test-windows adds the keys with
// `reg add`), on Linux the registry file itself. Both must give the same answers.
#include "config/DevelopmentMode.h"
#include "config/HostInstallDiscovery.h"
#include "config/NodeConfig.h"
#include "config/Registry.h"
#include "support/RecordingWindow.h"
#include "support/TempDirectory.h"
#include "core/String.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using Varnix::isDevelopmentMode;
using Varnix::NodeSettings;
using Varnix::readRegistryDword;

namespace {

std::string text(Varnix::String value) { return value.toNarrow(); }

// What the text-mode writer puts on disk for a line end.
const std::string lineEnd = VARNIX_TEXT_FILES_CRLF ? "\r\n" : "\n";

std::string find(int year) {
    Varnix::String directory(u"untouched");
    if (!findHostInstall(year, directory)) {
        EXPECT_EQ(text(directory), "untouched") << year;
        return "<none>";
    }
    return text(directory);
}

TEST(RegistryCases, InstallDirectoryOfEachYear) {
    EXPECT_EQ(find(2011), "<none>");
    EXPECT_EQ(find(2012), "");
    EXPECT_EQ(find(2013), "D:\\Design 2013\\");
    EXPECT_EQ(find(2014), "C:\\Max Design 2014\\");
    EXPECT_EQ(find(2015), "C:\\Program Files\\Autodesk\\3ds Max 2015\\");
    EXPECT_EQ(find(2016), "%ProgramFiles%\\Autodesk\\3ds Max 2016\\");
}

TEST(RegistryCases, StringReads) {
    Varnix::String value(u"untouched");
    ASSERT_TRUE(readRegistryString(u"SOFTWARE/VarnixRegistryCases", u"Text", value));
    EXPECT_EQ(text(value), "a/b\\c");
    ASSERT_TRUE(readRegistryString(u"software\\varnixregistrycases", u"text", value))
        << "key and value names compare without case";
    EXPECT_EQ(text(value), "a/b\\c");

    // A DWORD read as text: its four bytes are two UTF-16 units.
    ASSERT_TRUE(readRegistryString(u"SOFTWARE/VarnixRegistryCases", u"Dword", value));
    ASSERT_EQ(value.length(), 2);
    EXPECT_EQ(value[0], 0x1827);
    EXPECT_EQ(value[1], 0xC0C0);

    value = Varnix::String(u"untouched");
    EXPECT_FALSE(readRegistryString(u"SOFTWARE/VarnixRegistryCases", u"Missing", value));
    EXPECT_FALSE(readRegistryString(u"SOFTWARE/NoSuchKeyOfVarnix", u"Text", value));
    EXPECT_EQ(text(value), "untouched");
}

TEST(RegistryCases, DwordReads) {
    std::uint32_t value = 7;
    ASSERT_TRUE(readRegistryDword(u"SOFTWARE/VarnixRegistryCases", u"Dword", value));
    EXPECT_EQ(value, 0xC0C01827u);

    value = 7;
    EXPECT_FALSE(readRegistryDword(u"SOFTWARE/VarnixRegistryCases", u"Qword", value)) << "8 bytes do not fit";
    EXPECT_FALSE(readRegistryDword(u"SOFTWARE/VarnixRegistryCases", u"Missing", value));
    EXPECT_EQ(value, 7u);
}

TEST(RegistryCases, DevelopmentFlagOfEightBytesIsOff) {
    EXPECT_FALSE(isDevelopmentMode());
    EXPECT_FALSE(isDevelopmentMode());
}

class DefaultConfigFromRegistry : public VarnixTest::TempDirectoryTest {
protected:
    void SetUp() override {
        VarnixTest::TempDirectoryTest::SetUp();
        path = pathOf("DrConfig.txt");
    }

    std::vector<std::string> load() {
        NodeSettings settings;
        EXPECT_TRUE(loadNodeConfig(settings, Varnix::String(path.c_str()), &window, fatalError));
        std::vector<std::string> entries;
        for (int year = Varnix::firstHostYear; year <= Varnix::lastHostYear; ++year)
            entries.push_back(text(settings.hostInstalls[year - Varnix::firstHostYear]));
        return entries;
    }

    std::string fileBytes() const { return readBytes("DrConfig.txt"); }

    std::string path;
    VarnixTest::RecordingWindow window;
    Varnix::String fatalError;
};

TEST_F(DefaultConfigFromRegistry, IsWrittenAsTextAndReadBackSilently) {
    const std::vector<std::string> expected{"",
                                            "",
                                            "D:\\Design 2013\\",
                                            "C:\\Max Design 2014\\",
                                            "C:\\Program Files\\Autodesk\\3ds Max 2015\\",
                                            "%ProgramFiles%\\Autodesk\\3ds Max 2016\\"};
    EXPECT_EQ(load(), expected);
    EXPECT_EQ(fileBytes(), "2012 " + lineEnd + "2013 D:\\Design 2013\\" + lineEnd + "2014 C:\\Max Design 2014\\" +
                               lineEnd + "2015 C:\\Program Files\\Autodesk\\3ds Max 2015\\" + lineEnd +
                               "2016 %ProgramFiles%\\Autodesk\\3ds Max 2016\\" + lineEnd);
    EXPECT_EQ(window.snapshot(), (std::vector<std::string>{"Cannot read the config file, default one will be created",
                                                           "Creating default DrConfig.txt: found 5 3dsmax versions"}));

    window.clear();
    EXPECT_EQ(load(), expected) << "the next start reads the file it wrote";
    EXPECT_TRUE(window.snapshot().empty());
}

}  // namespace
