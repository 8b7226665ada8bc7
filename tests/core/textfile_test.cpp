#include "support/TempDirectory.h"

#include <fstream>

#include "core/Exception.h"
#include "core/InputTextFile.h"
#include "core/OutputTextFile.h"

#include <string>
#include <vector>

using Varnix::Exception;
using Varnix::InputTextFile;
using Varnix::OutputTextFile;
using Varnix::String;

namespace {

std::string utf8Of(String text) { return text.toNarrow(); }

// The loop every reader of a text file runs.
std::vector<std::string> readAll(const std::string& path) {
    InputTextFile file(String(path.c_str()));
    std::vector<std::string> lines;
    String line;
    while (!file.atEnd()) {
        file.readLine(line);
        lines.push_back(utf8Of(line));
    }
    return lines;
}

// What the platform writes for one line feed in a text file.
std::string lineFeedOnDisk(const std::string& path) {
    {
        OutputTextFile probe{String(path.c_str())};
        probe << Varnix::lineEnd;
    }
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

class TextFileTest : public VarnixTest::TempDirectoryTest {};

TEST_F(TextFileTest, MissingFileThrowsTheFileError) {
    std::string path = pathOf("missing.txt");
    try {
        InputTextFile file(String(path.c_str()));
        FAIL() << "opening a missing file did not throw";
    } catch (const Exception& error) {
        EXPECT_EQ(456, error.getCode());
        EXPECT_EQ("Cannot open/read/write file '" + path + "'", std::string(error.what()));
    }
}

TEST_F(TextFileTest, DirectoryIsNoReadableFile) {
    std::filesystem::create_directory(directory / "DrConfig.txt");
    EXPECT_THROW(InputTextFile file(String(pathOf("DrConfig.txt").c_str())), Exception);
}

TEST_F(TextFileTest, LinesEndingInLineFeedsGiveAFinalEmptyLine) {
    writeBytes("two.txt", "a\nb\n");
    EXPECT_EQ((std::vector<std::string>{"a", "b", ""}), readAll(pathOf("two.txt")));
}

TEST_F(TextFileTest, LastLineWithoutLineFeedComesBackWhole) {
    writeBytes("last.txt", "first\nsecond");
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), readAll(pathOf("last.txt")));
}

TEST_F(TextFileTest, EmptyFileGivesOneEmptyLine) {
    writeBytes("empty.txt", "");
    EXPECT_EQ((std::vector<std::string>{""}), readAll(pathOf("empty.txt")));
}

TEST_F(TextFileTest, CarriageReturnLineFeedIsDroppedButALoneCarriageReturnStays) {
    writeBytes("crlf.txt", "2014 C:\\Max\r\nin\rside\r\nend");
    EXPECT_EQ((std::vector<std::string>{"2014 C:\\Max", "in\rside", "end"}), readAll(pathOf("crlf.txt")));
}

TEST_F(TextFileTest, LongLinesAreJoinedFromChunks) {
    std::string line(600, 'x');
    line[0] = 'A';
    line[599] = 'Z';
    writeBytes("long.txt", line + "\nnext\n");
    EXPECT_EQ((std::vector<std::string>{line, "next", ""}), readAll(pathOf("long.txt")));
}

TEST_F(TextFileTest, CarriageReturnLineFeedAcrossAChunkBoundary) {
    // 254 letters and the CR fill the first 255-byte chunk; the LF follows.
    std::string line(254, 'q');
    writeBytes("edge.txt", line + "\r\nafter");
    EXPECT_EQ((std::vector<std::string>{line, "after"}), readAll(pathOf("edge.txt")));
}

TEST_F(TextFileTest, MultiByteCharactersSplitBetweenChunksComeBackIntact) {
    String euro(u"\u20ac");
    if (std::string(euro.toNarrow()) != "\xE2\x82\xAC") GTEST_SKIP() << "narrow text is not UTF-8 here";
    // Two- and three-byte characters, 600 bytes: the 255-byte chunks cut
    // through characters.
    std::u16string expected;
    std::string bytes;
    while (bytes.size() < 600) {
        bytes += "\xC3\xA9";  // e acute
        expected += u'\u00e9';
        if (bytes.size() < 600) {
            bytes += "\xE2\x82\xAC";  // euro
            expected += u'\u20ac';
        }
    }
    writeBytes("utf8.txt", bytes + "\n");
    InputTextFile file(String(pathOf("utf8.txt").c_str()));
    String line;
    file.readLine(line);
    ASSERT_EQ(static_cast<int>(expected.size()), line.length());
    EXPECT_EQ(expected, std::u16string(line.wideCString(), expected.size()));
}

TEST_F(TextFileTest, WriterWritesDecimalsTextAndLineEnds) {
    std::string path = pathOf("out.txt");
    std::string lineFeed = lineFeedOnDisk(pathOf("probe.txt"));
    ASSERT_TRUE(lineFeed == "\n" || lineFeed == "\r\n");
    {
        OutputTextFile file(String(path.c_str()));
        String directory(u"C:/Max 2014");
        file << -5 << " " << 2014 << " " << directory << Varnix::lineEnd;
        file << Varnix::LineEnd{2};
        file.close();
        file.close();
    }
    EXPECT_EQ("-5 2014 C:/Max 2014" + lineFeed + lineFeed + lineFeed, readBytes("out.txt"));
}

TEST_F(TextFileTest, WriterTruncatesAnExistingFile) {
    writeBytes("log.txt", "old\n");
    { OutputTextFile file(String(pathOf("log.txt").c_str())); }
    EXPECT_EQ("", readBytes("log.txt"));
}

TEST_F(TextFileTest, CloseTwiceIsHarmless) {
    OutputTextFile file;
    EXPECT_FALSE(file.isOpen());
    file.createNew(String(pathOf("twice.txt").c_str()));
    EXPECT_TRUE(file.isOpen());
    file.close();
    EXPECT_FALSE(file.isOpen());
    file.close();
    file << "ignored" << 1 << Varnix::lineEnd;  // a closed file takes no writes
}

TEST_F(TextFileTest, WriterThrowsTheFileErrorForAnUnwritablePath) {
    std::string path = pathOf("no-such-dir/out.txt");
    try {
        OutputTextFile file(String(path.c_str()));
        FAIL() << "no exception";
    } catch (const Exception& error) {
        EXPECT_EQ(456, error.getCode());
        EXPECT_EQ("Cannot open/read/write file '" + path + "'", std::string(error.what()));
    }
    OutputTextFile creator;
    EXPECT_THROW(creator.createNew(String(path.c_str())), Exception);
    EXPECT_FALSE(creator.isOpen());
}

// The data folder is writable by other local programs: a link planted
// under a file's name must never make the node write elsewhere.
TEST_F(TextFileTest, NoWriterWritesThroughASymbolicLink) {
    writeBytes("outside.txt", "keep\n");
    std::filesystem::create_symlink(pathOf("outside.txt"), pathOf("log.txt"));
    OutputTextFile creator;
    try {
        creator.createNew(String(pathOf("log.txt").c_str()));
        FAIL() << "wrote through a link";
    } catch (const Exception& error) {
        EXPECT_EQ(456, error.getCode());
        EXPECT_EQ("Cannot open/read/write file '" + pathOf("log.txt") +
                      "': it is a symbolic link, and the node never writes through one",
                  std::string(error.what()));
    }
    EXPECT_FALSE(creator.isOpen());
    EXPECT_THROW(OutputTextFile(String(pathOf("log.txt").c_str())), Exception);
    EXPECT_EQ("keep\n", readBytes("outside.txt"));
    EXPECT_TRUE(std::filesystem::is_symlink(pathOf("log.txt")));  // left for the admin to see
}

TEST_F(TextFileTest, NewFileIsCreatedOnlyWhereNothingIsYet) {
    // A dangling link would otherwise create its target.
    std::filesystem::create_symlink(pathOf("target.txt"), pathOf("dangling.txt"));
    OutputTextFile file;
    EXPECT_THROW(file.createNew(String(pathOf("dangling.txt").c_str())), Exception);
    EXPECT_FALSE(std::filesystem::exists(pathOf("target.txt")));
    // A file that appeared meanwhile is never replaced.
    writeBytes("there.txt", "an admin's lines\n");
    EXPECT_THROW(file.createNew(String(pathOf("there.txt").c_str())), Exception);
    EXPECT_EQ("an admin's lines\n", readBytes("there.txt"));
    file.createNew(String(pathOf("new.txt").c_str()));
    file << "2014 C:/Max/" << Varnix::lineEnd;
    file.close();
    EXPECT_EQ(0u, readBytes("new.txt").find("2014 C:/Max/"));
}
