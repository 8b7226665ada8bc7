// Reading DrConfig.txt: which lines configure which release.
#include "NodeConfigTestSupport.h"

#include <filesystem>

using Varnix::HostInstall;
using Varnix::NodeSettings;

namespace {

using Entries = std::array<std::string, 6>;
using Lines = std::vector<std::string>;

class NodeConfigReadTest : public ConfigTest::NodeConfigTest {
protected:
    // Loads `bytes` and checks that the file was left alone (a default file
    // would also have shown in the log lines).
    Entries loadFrom(const std::string& bytes) {
        writeConfig(bytes);
        Entries entries = load();
        EXPECT_EQ(readConfig(), bytes);
        EXPECT_TRUE(loaded);
        return entries;
    }
};

TEST_F(NodeConfigReadTest, CommentsEmptyLinesAndSpacesAroundEntries) {
    Entries entries = loadFrom("# installed releases\n"
                               "\n"
                               "   2015   D:\\Max 2015\\  \t \n"
                               "2013 C:/Program Files/Autodesk/3ds max 2013\n"
                               "  # 2011 C:\\Commented\n");
    EXPECT_EQ(entries, (Entries{"", "", "C:/Program Files/Autodesk/3ds max 2013/", "", "D:\\Max 2015\\", ""}));
    EXPECT_EQ(window.snapshot(), Lines{});
}

TEST_F(NodeConfigReadTest, AYearOutOfRangeStopsTheReading) {
    Entries entries = loadFrom("2014 C:\\Max 2014\n2017 E:\\Max\n2015 D:\\Never read\n");
    EXPECT_EQ(entries, (Entries{"", "", "", "C:\\Max 2014\\", "", ""}));
    EXPECT_EQ(window.snapshot(), (Lines{ConfigTest::badLine, ConfigTest::badLineDetail(2, "2017 E:\\Max")}));
}

TEST_F(NodeConfigReadTest, LinesWithoutAYearInRangeAreErrors) {
    for (const char* line : {"Max 2014 C:\\Max", "2010 C:\\Old", "-2014 C:\\Max", "99999999999 C:\\Max", ":2014"}) {
        window.clear();
        Entries entries = loadFrom(std::string("2016 F:\\Kept\n") + line + "\n");
        EXPECT_EQ(entries, (Entries{"", "", "", "", "", "F:\\Kept\\"})) << line;
        EXPECT_EQ(window.snapshot(), (Lines{ConfigTest::badLine, ConfigTest::badLineDetail(2, line)})) << line;
    }
}

TEST_F(NodeConfigReadTest, YearAloneLeavesTheReleaseUnconfigured) {
    Entries entries = loadFrom("2014 C:\\Max\n2014\n2015 D:\\Max\n");
    EXPECT_EQ(entries, (Entries{"", "", "", "", "D:\\Max\\", ""}));
    EXPECT_EQ(window.snapshot(), Lines{});
}

TEST_F(NodeConfigReadTest, NoSeparatorNeededAndTheLastLineWins) {
    Entries entries = loadFrom("2014C:\\Max\n2012 C:\\First\n2012 C:\\Second # not a comment\n");
    EXPECT_EQ(entries, (Entries{"", "C:\\Second # not a comment\\", "", "C:\\Max\\", "", ""}));
    EXPECT_EQ(window.snapshot(), Lines{});
}

TEST_F(NodeConfigReadTest, EmptyFileConfiguresNothingAndIsKept) {
    Entries entries = loadFrom("");
    EXPECT_EQ(entries, Entries{});
    EXPECT_EQ(window.snapshot(), Lines{});
}

TEST_F(NodeConfigReadTest, WindowsLineEndsAndNoFinalLineFeed) {
    Entries entries = loadFrom("# saved on Windows\r\n2011 C:\\Max 2011\\\r\n\r\n2012\r\n2016 D:\\Max 2016");
    EXPECT_EQ(entries, (Entries{"C:\\Max 2011\\", "", "", "", "", "D:\\Max 2016\\"}));
    EXPECT_EQ(window.snapshot(), Lines{});
}

TEST_F(NodeConfigReadTest, LongAndNonAsciiDirectories) {
    std::string longDirectory = "D:\\" + std::string(600, 'x') + "\\";
    Entries entries = loadFrom("2013 " + longDirectory + "\n2014 C:\\Programme\\Größe 2014\\\n");
    EXPECT_EQ(entries[2], longDirectory);
    EXPECT_EQ(entries[3], "C:\\Programme\\Größe 2014\\");
}

TEST_F(NodeConfigReadTest, BadLineIsNamedByItsNumberAndText) {
    // Comments and empty lines count: the number is the one an editor shows.
    Entries entries = loadFrom("# releases\r\n\r\n2014 C:\\Max\\\r\n   2O15 D:\\Typo  \r\n2016 E:\\Never\\\r\n");
    EXPECT_EQ(entries, (Entries{"", "", "", "C:\\Max\\", "", ""}));
    EXPECT_EQ(window.snapshot(), (Lines{ConfigTest::badLine, ConfigTest::badLineDetail(4, "2O15 D:\\Typo")}));
}

TEST_F(NodeConfigReadTest, DirectoryWithoutTrailingSeparatorGetsOne) {
    // The renderer's name is appended to the directory as it stands.
    Entries entries = loadFrom("2011 D:\\Max 2011\n2012 /opt/max 2012\n2013 E:\\Max\\\n2014 C:/Max/\n"
                               "2015 C:/Autodesk/3ds Max 2015\n2016 F:\\Mixed/Max 2016\n");
    EXPECT_EQ(entries, (Entries{"D:\\Max 2011\\", "/opt/max 2012/", "E:\\Max\\", "C:/Max/", "C:/Autodesk/3ds Max 2015/",
                                "F:\\Mixed/Max 2016/"}));
    EXPECT_EQ(window.snapshot(), Lines{});
}

// What Notepad ("UTF-8 with BOM") and PowerShell 5.1 (UTF-16) save, in a
// folder whose name is not UTF-8.
class MarkedConfigTest : public NodeConfigReadTest {
protected:
    void SetUp() override {
        NodeConfigReadTest::SetUp();
        directory /= VarnixTest::oddFolderName();
        std::filesystem::create_directory(directory);
    }

    static std::string utf16(const std::u16string& text, bool bigEndian) {
        std::string bytes;
        for (char16_t unit : text) {
            char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
            bytes += bigEndian ? high : low;
            bytes += bigEndian ? low : high;
        }
        return bytes;
    }

    // Loads the file and gives the entries as UTF-16, so that characters
    // outside the system's code page are compared as they are.
    std::array<std::u16string, 6> loadWide(const std::string& bytes) {
        writeConfig(bytes);
        NodeSettings settings;
        EXPECT_TRUE(
            loadNodeConfig(settings, VarnixTest::portPath(directory / "DrConfig.txt").c_str(), &window, fatalError));
        EXPECT_EQ(readConfig(), bytes);
        std::array<std::u16string, 6> entries;
        for (int i = 0; i < 6; ++i) entries[i] = settings.hostInstalls[i].wideCString();
        return entries;
    }
};

TEST_F(MarkedConfigTest, Utf8WithByteOrderMark) {
    auto entries = loadWide("\xEF\xBB\xBF# saved as UTF-8 with BOM\r\n2014 C:\\Max 2014\\\r\n"
                            "2016 D:\\Gr\xC3\xB6\xC3\x9F"
                            "e \xE6\xB8\xB2\xE6\x9F\x93\r\n");
    EXPECT_EQ(entries, (std::array<std::u16string, 6>{u"", u"", u"", u"C:\\Max 2014\\", u"",
                                                      u"D:\\Gr\u00F6\u00DFe \u6E32\u67D3\\"}));
    EXPECT_EQ(window.snapshot(), Lines{});
}

// A file marked as UTF-8 that holds bytes of another code page (an editor
// that added the mark to Latin-1 text): each such byte is kept, mapped to a
// character of its own, instead of being dropped or merged.
TEST_F(MarkedConfigTest, Utf8MarkedFileWithStrayBytesKeepsEachOfThem) {
    auto entries = loadWide("\xEF\xBB\xBF"
                            "2013 D:\\Caf\xE9\\\r\n2014 E:\\\xC3\xA9t\xE9 \xF4\x90\x80\x80\\\r\n");
    EXPECT_EQ(entries[2], u"D:\\Caf\xDBC0\xDCE9\\");
    EXPECT_EQ(entries[3], u"E:\\\u00E9t\xDBC0\xDCE9 \xDBC0\xDCF4\xDBC0\xDC90\xDBC0\xDC80\xDBC0\xDC80\\");
    EXPECT_EQ(window.snapshot(), Lines{});
}

TEST_F(MarkedConfigTest, ByteOrderMarkAloneBeforeTheFirstEntry) {
    auto entries = loadWide("\xEF\xBB\xBF"
                            "2015 E:\\Max\\");
    EXPECT_EQ(entries[4], u"E:\\Max\\");
    EXPECT_EQ(window.snapshot(), Lines{});
}

TEST_F(MarkedConfigTest, Utf16LittleEndianAsPowerShellWritesIt) {
    std::u16string text = u"\uFEFF# PowerShell: Set-Content\r\n\r\n2013 C:\\Program Files\\Autodesk\\3ds Max 2013\r\n"
                          u"2016 D:\\\u6E32\u67D3 \u00C5\\\r\n";
    auto entries = loadWide(utf16(text, false));
    EXPECT_EQ(entries, (std::array<std::u16string, 6>{u"", u"", u"C:\\Program Files\\Autodesk\\3ds Max 2013\\", u"",
                                                      u"", u"D:\\\u6E32\u67D3 \u00C5\\"}));
    EXPECT_EQ(window.snapshot(), Lines{});
}

TEST_F(MarkedConfigTest, Utf16BigEndianAndABadLineInIt) {
    std::u16string text = u"\uFEFF2012 C:\\Max 2012\\\n2020 Z:\\Future\n2015 D:\\Never\\\n";
    auto entries = loadWide(utf16(text, true));
    EXPECT_EQ(entries[1], u"C:\\Max 2012\\");
    EXPECT_EQ(entries[4], u"");
    EXPECT_EQ(window.snapshot(), (Lines{ConfigTest::badLine, ConfigTest::badLineDetail(2, "2020 Z:\\Future")}));
}

using FatalConfigTest = VarnixTest::TempDirectoryTest;

// A default DrConfig.txt that cannot be created is fatal: the error goes to
// the caller, which shows it and ends the node; the loader shows nothing.
TEST_F(FatalConfigTest, UncreatableDefaultFileIsReportedAsFatal) {
    std::string path = pathOf("missing/DrConfig.txt");  // its directory does not exist
    ConfigTest::RecordingWindow window;
    NodeSettings settings;
    Varnix::String error;
    EXPECT_FALSE(loadNodeConfig(settings, Varnix::String(path.c_str()), &window, error));
    EXPECT_EQ(ConfigTest::utf8(error), "Cannot open/read/write file '" + path + "'");
    EXPECT_TRUE(window.shownBoxes().empty());
    EXPECT_EQ(window.snapshot(), Lines{ConfigTest::cannotReadLine});
    for (const HostInstall& entry : settings.hostInstalls) EXPECT_EQ(entry.length(), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
}

// A dangling link in place of DrConfig.txt: the default file is never
// created through it, wherever it points.
TEST_F(FatalConfigTest, DefaultFileIsNeverCreatedThroughADanglingLink) {
    std::string path = pathOf("DrConfig.txt");
    std::string target = pathOf("elsewhere.txt");
    std::filesystem::create_symlink(target, path);

    ConfigTest::RecordingWindow window;
    NodeSettings settings;
    Varnix::String error;
    EXPECT_FALSE(loadNodeConfig(settings, Varnix::String(path.c_str()), &window, error));
    EXPECT_EQ(ConfigTest::utf8(error), "Cannot open/read/write file '" + path +
                                           "': it is a symbolic link, and the node never writes through one");
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_TRUE(std::filesystem::is_symlink(path));
}

}  // namespace
