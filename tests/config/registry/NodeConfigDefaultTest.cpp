// Writing the default DrConfig.txt from the registry when there is none.
#include "RegistryTestSupport.h"
#include "config/NodeConfigTestSupport.h"

namespace {

using Entries = std::array<std::string, 6>;
using Lines = std::vector<std::string>;

using NodeConfigDefaultTest = ConfigTest::NodeConfigTestOn<ConfigTest::RegistryFileTestBase>;

TEST_F(NodeConfigDefaultTest, ReleasesFromTheRegistryAreWrittenInAscendingOrder)
{
    useRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMaxDesign\\17.0\\MAX-1:409]\n"
                "\"Installdir\"=\"D:\\\\Design 2015\\\\\"\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMax\\14.0]\n"
                "\"Installdir\"=\"C:\\\\Program Files\\\\Autodesk\\\\3ds Max 2012\\\\\"\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMax\\20.0]\n"
                "\"Installdir\"=\"C:\\\\Max 2018\"\n");
    Entries entries = load();
    EXPECT_EQ(readConfig(), "2012 C:\\Program Files\\Autodesk\\3ds Max 2012\\\n2015 D:\\Design 2015\\\n");
    EXPECT_EQ(entries, (Entries{"", "C:\\Program Files\\Autodesk\\3ds Max 2012\\", "", "", "D:\\Design 2015\\", ""}));
    EXPECT_EQ(window.lines,
              (Lines{ConfigTest::cannotReadLine, "Creating default DrConfig.txt: found 2 3dsmax versions"}));
    EXPECT_EQ(window.closeRequests, 0);

    // The next start reads what was written, silently.
    window.lines.clear();
    EXPECT_EQ(load(), entries);
    EXPECT_EQ(window.lines, Lines{});
}

TEST_F(NodeConfigDefaultTest, OneReleaseWithAnEmptyDirectory)
{
    useRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMax\\18.0]\n\"Installdir\"=\"\"\n");
    Entries entries = load();
    EXPECT_EQ(readConfig(), "2016 \n");
    EXPECT_EQ(entries, Entries{});
    EXPECT_EQ(window.lines,
              (Lines{ConfigTest::cannotReadLine, "Creating default DrConfig.txt: found 1 3dsmax versions"}));
}

TEST_F(NodeConfigDefaultTest, NoReleasesLeaveAnEmptyFileAndAWarning)
{
    Entries entries = load();
    EXPECT_EQ(entries, Entries{});
    EXPECT_TRUE(std::filesystem::is_regular_file(configPath()));
    EXPECT_EQ(readConfig(), "");
    EXPECT_EQ(window.lines, (Lines{ConfigTest::cannotReadLine, ConfigTest::noVersionsLine}));

    window.lines.clear();
    load();
    EXPECT_EQ(window.lines, Lines{}) << "the empty file is read at the next start";
}

}  // namespace
