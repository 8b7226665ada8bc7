// Narrow text on Windows is the ANSI code page, not UTF-8: DrConfig.txt as
// Notepad saves it, and the paths handed to the narrow file calls. This
// executable runs with code page 1251 (Cyrillic), as a Russian farm machine
// has it, where every Cyrillic letter is one byte.
#include "config/ConfigTestSupport.h"

#include "config/NodeConfig.h"
#include "config/NodeSettings.h"
#include "core/String.h"
#include "port/path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

using Varnix::firstHostYear;
using Varnix::NodeSettings;
using Varnix::String;

namespace {

// "C:\Autodesk\3ds Max Дизайн 2016\" in UTF-16 and in code page 1251.
const char16_t installWide[] = u"C:\\Autodesk\\3ds Max \u0414\u0438\u0437\u0430\u0439\u043d 2016\\";
const char installCp1251[] = "C:\\Autodesk\\3ds Max \xC4\xE8\xE7\xE0\xE9\xED 2016\\";

std::string narrowOf(String text) { return text.toNarrow(); }

std::u16string unitsOf(String text) { return std::u16string(text.wideCString(), static_cast<size_t>(text.length())); }

}  // namespace

TEST(AnsiCodePage, CyrillicTextBecomesOneCodePageBytePerLetterAndBack) {
    // Under UTF-8 each letter would take two bytes; a missing code page gives '?'.
    EXPECT_EQ(std::string(installCp1251), narrowOf(String(installWide)));
    EXPECT_EQ(std::u16string(installWide), unitsOf(String(installCp1251)));
    EXPECT_EQ(std::u16string(installWide), Varnix::Port::pathFromSystem(installCp1251));
    EXPECT_EQ(std::string(installCp1251), Varnix::Port::narrowPath(installWide));
}

TEST(AnsiCodePage, LettersOutsideTheCodePageBecomeQuestionMarksWithoutTakingTheirNeighbours) {
    // Chinese and Japanese letters are not in code page 1251.
    EXPECT_EQ(std::string("\xC4?\xC6?\xC8"), narrowOf(String(u"\u0414\u4e2d\u0416\u3042\u0418")));
}

class AnsiCodePageConfig : public VarnixTest::TempDirectoryTest {};

TEST_F(AnsiCodePageConfig, DrConfigInCodePage1251UnderACyrillicFolderGivesTheCyrillicInstallDirectory) {
    // The node's folder is Cyrillic too: the narrow path must name it.
    const std::filesystem::path folder = directory / std::filesystem::path(L"\u0423\u0437\u0435\u043b");
    ASSERT_TRUE(std::filesystem::create_directories(folder));
    std::ofstream(folder / L"DrConfig.txt", std::ios::binary) << "2016 " << installCp1251 << "\r\n";

    NodeSettings settings;
    ConfigTest::RecordingWindow window;
    const String configPath = String(folder.u16string().c_str()) + String(u"\\DrConfig.txt");
    String error;
    EXPECT_TRUE(loadNodeConfig(settings, configPath, &window, error));

    EXPECT_EQ(std::u16string(installWide), unitsOf(settings.hostInstalls[2016 - firstHostYear]));
    for (const std::string& line : window.snapshot())
        EXPECT_EQ(std::string::npos, line.find("config file")) << "logged: " << line;
}
