// Reading DrConfig.txt: which lines configure which release.
#include "NodeConfigTestSupport.h"

namespace {

using Entries = std::array<std::string, 6>;
using Lines = std::vector<std::string>;

class NodeConfigReadTest : public ConfigTest::NodeConfigTest {
protected:
    // Loads `bytes` and checks that the file was left alone (a default file
    // would also have shown in the log lines).
    Entries loadFrom(const std::string& bytes)
    {
        writeConfig(bytes);
        Entries entries = load();
        EXPECT_EQ(readConfig(), bytes);
        EXPECT_EQ(window.closeRequests, 0);
        return entries;
    }
};

TEST_F(NodeConfigReadTest, CommentsEmptyLinesAndSpacesAroundEntries)
{
    Entries entries = loadFrom("# installed releases\n"
                               "\n"
                               "   2015   D:\\Max 2015\\  \t \n"
                               "2013 C:/Program Files/Autodesk/3ds max 2013\n"
                               "  # 2011 C:\\Commented\n");
    EXPECT_EQ(entries, (Entries{"", "", "C:/Program Files/Autodesk/3ds max 2013", "", "D:\\Max 2015\\", ""}));
    EXPECT_EQ(window.lines, Lines{});
}

TEST_F(NodeConfigReadTest, AYearOutOfRangeStopsTheReading)
{
    Entries entries = loadFrom("2014 C:\\Max 2014\n2017 E:\\Max\n2015 D:\\Never read\n");
    EXPECT_EQ(entries, (Entries{"", "", "", "C:\\Max 2014", "", ""}));
    EXPECT_EQ(window.lines, Lines{ConfigTest::badLine});
}

TEST_F(NodeConfigReadTest, LinesWithoutAYearInRangeAreErrors)
{
    for (const char* line : {"Max 2014 C:\\Max", "2010 C:\\Old", "-2014 C:\\Max", "99999999999 C:\\Max", ":2014"}) {
        window.lines.clear();
        Entries entries = loadFrom(std::string("2016 F:\\Kept\n") + line + "\n");
        EXPECT_EQ(entries, (Entries{"", "", "", "", "", "F:\\Kept"})) << line;
        EXPECT_EQ(window.lines, Lines{ConfigTest::badLine}) << line;
    }
}

TEST_F(NodeConfigReadTest, YearAloneLeavesTheReleaseUnconfigured)
{
    Entries entries = loadFrom("2014 C:\\Max\n2014\n2015 D:\\Max\n");
    EXPECT_EQ(entries, (Entries{"", "", "", "", "D:\\Max", ""}));
    EXPECT_EQ(window.lines, Lines{});
}

TEST_F(NodeConfigReadTest, NoSeparatorNeededAndTheLastLineWins)
{
    Entries entries = loadFrom("2014C:\\Max\n2012 C:\\First\n2012 C:\\Second # not a comment\n");
    EXPECT_EQ(entries, (Entries{"", "C:\\Second # not a comment", "", "C:\\Max", "", ""}));
    EXPECT_EQ(window.lines, Lines{});
}

TEST_F(NodeConfigReadTest, EmptyFileConfiguresNothingAndIsKept)
{
    Entries entries = loadFrom("");
    EXPECT_EQ(entries, Entries{});
    EXPECT_EQ(window.lines, Lines{});
}

TEST_F(NodeConfigReadTest, WindowsLineEndsAndNoFinalLineFeed)
{
    Entries entries = loadFrom("# saved on Windows\r\n2011 C:\\Max 2011\\\r\n\r\n2012\r\n2016 D:\\Max 2016");
    EXPECT_EQ(entries, (Entries{"C:\\Max 2011\\", "", "", "", "", "D:\\Max 2016"}));
    EXPECT_EQ(window.lines, Lines{});
}

TEST_F(NodeConfigReadTest, LongAndNonAsciiDirectories)
{
    std::string longDirectory = "D:\\" + std::string(600, 'x') + "\\";
    Entries entries = loadFrom("2013 " + longDirectory + "\n2014 C:\\Programme\\Größe 2014\\\n");
    EXPECT_EQ(entries[2], longDirectory);
    EXPECT_EQ(entries[3], "C:\\Programme\\Größe 2014\\");
}

}  // namespace
