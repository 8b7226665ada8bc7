// The file layer, on real files in a fresh directory.
#include "port/files.h"
#include "port/folderlock.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace fs = std::filesystem;
using namespace Varnix::Port;

namespace {

class FilesTest : public VarnixTest::TempDirectoryTest {
protected:
    void write(const std::string& name, const std::string& content) {
        std::ofstream(directory / name, std::ios::binary) << content;
    }
    std::string read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::u16string wide(const fs::path& path) { return VarnixTest::portPath(path); }
};

TEST_F(FilesTest, SearchYieldsEveryNameWithThePrefixAndTellsDirectories) {
    write("dump1.exr", "a");
    write("dumpling.exr", "b");
    write("dump.exr.tmp", "c");
    write("other.exr", "d");
    write("Dump2.exr", "e");  // the POSIX search is case-sensitive
    fs::create_directory(directory / "dump9.exr");

    std::set<std::u16string> files, dirs;
    // The data directory ends in a slash, so the pattern holds two in a row.
    std::u16string pattern = wide(directory) + u"//dump*";
    for (FileSearch search(pattern.c_str()); search.hasEntry(); search.next())
        (search.isDirectory() ? dirs : files).insert(search.name());

    EXPECT_EQ(files, (std::set<std::u16string>{u"dump1.exr", u"dumpling.exr", u"dump.exr.tmp"}));
    EXPECT_EQ(dirs, (std::set<std::u16string>{u"dump9.exr"}));
}

TEST_F(FilesTest, SearchOfAMissingDirectoryOrWithoutMatchesIsEmpty) {
    std::u16string missing = wide(directory) + u"/nowhere/dump*";
    EXPECT_FALSE(FileSearch(missing.c_str()).hasEntry());
    write("other.exr", "x");
    std::u16string none = wide(directory) + u"/dump*";
    FileSearch search(none.c_str());
    EXPECT_FALSE(search.hasEntry());
    search.next();  // harmless after the end
    EXPECT_FALSE(search.hasEntry());
}

TEST_F(FilesTest, SearchGivesNonAsciiNamesInUtf16) {
    write("dump_\xC3\xBC.exr", "x");  // UTF-8 for u-umlaut
    std::u16string pattern = wide(directory) + u"/dump*";
    FileSearch search(pattern.c_str());
    ASSERT_TRUE(search.hasEntry());
    EXPECT_EQ(std::u16string(search.name()), u"dump_\u00FC.exr");
}

TEST_F(FilesTest, CopyReplacesALongerTargetAndDeleteRemoves) {
    write("src.exr", "short");
    write("dst.exr", "a much longer old content");
    std::u16string src = wide(directory / "src.exr"), dst = wide(directory / "dst.exr");
    ASSERT_TRUE(copyFile(src.c_str(), dst.c_str()));
    EXPECT_EQ(read(directory / "dst.exr"), "short");

    EXPECT_TRUE(isRegularFile(src.c_str()));
    EXPECT_TRUE(deleteFile(src.c_str()));
    EXPECT_FALSE(isRegularFile(src.c_str()));
    EXPECT_FALSE(deleteFile(src.c_str()));
    EXPECT_FALSE(copyFile(src.c_str(), dst.c_str()));
    EXPECT_EQ(read(directory / "dst.exr"), "short");  // a failed copy leaves the target alone
}

TEST_F(FilesTest, CopyReplacesALinkAtTheTargetInsteadOfWritingThroughIt) {
    write("dump.exr", "dump content");
    write("victim.txt", "keep me");
    fs::create_symlink(directory / "victim.txt", directory / "copy.exr");
    std::u16string src = wide(directory / "dump.exr"), dst = wide(directory / "copy.exr");
    ASSERT_TRUE(copyFile(src.c_str(), dst.c_str()));
    EXPECT_EQ(read(directory / "victim.txt"), "keep me");
    EXPECT_FALSE(fs::is_symlink(directory / "copy.exr"));
    EXPECT_EQ(read(directory / "copy.exr"), "dump content");

    // Nor is a link copied as the file it points to.
    fs::create_symlink(directory / "victim.txt", directory / "dump2.exr");
    std::u16string linked = wide(directory / "dump2.exr"), other = wide(directory / "copy2.exr");
    EXPECT_FALSE(copyFile(linked.c_str(), other.c_str()));
    EXPECT_NE(read(directory / "copy2.exr"), "keep me");
}

TEST_F(FilesTest, DirectoriesAreMadeOnceAndAreNoRegularFiles) {
    fs::path sub = directory / "drData";
    EXPECT_TRUE(makeDirectory(wide(sub).c_str()));
    EXPECT_FALSE(makeDirectory(wide(sub).c_str()));
    EXPECT_TRUE(fs::is_directory(sub));
    EXPECT_FALSE(isRegularFile(wide(sub).c_str()));
}

TEST_F(FilesTest, FreeDiskSpaceIsWhatTheSystemGivesThisProcessAndUnknownForAMissingFolder) {
    std::int64_t free = freeSpaceBytes(wide(directory).c_str());
    std::int64_t expected = std::int64_t(fs::space(directory).available);
    // Others write to the same disk meanwhile.
    EXPECT_NEAR(double(free), double(expected), double(256 << 20));
    EXPECT_GT(free, 0);
    EXPECT_EQ(freeSpaceBytes(wide(directory / "missing" / "drData").c_str()), -1);
}

TEST_F(FilesTest, WorkingDirectoryComesBackAsTheBytesItWasFoundAs) {
    fs::path previous = fs::current_path();
    fs::path odd = directory / VarnixTest::oddFolderName();
    fs::create_directory(odd);
    fs::current_path(odd);
    std::u16string found = workingDirectory();
    fs::current_path(previous);
    EXPECT_EQ(found, VarnixTest::portPath(odd));
}

}  // namespace

// A folder removed and made again while its node runs: the node takes the
// new lock file at once, so a second node cannot move in; while the folder
// is gone it keeps what it holds.
TEST_F(FilesTest, FolderLockIsRenewedOnTheFileOfAFolderMadeAgain) {
    fs::path folder = directory / "drData";
    fs::create_directory(folder);
    std::u16string name = wide(folder / "DrNode.lock");
    FolderLock node(name.c_str());
    ASSERT_EQ(node.state(), FolderLock::State::held);
    EXPECT_EQ(node.renew(), FolderLock::State::held);  // nothing moved
    EXPECT_EQ(FolderLock(name.c_str()).state(), FolderLock::State::heldElsewhere);

    fs::remove_all(folder);
    EXPECT_EQ(node.renew(), FolderLock::State::held);
    EXPECT_FALSE(fs::exists(folder));
    fs::create_directory(folder);
    EXPECT_EQ(node.renew(), FolderLock::State::held);
    EXPECT_TRUE(fs::exists(folder / "DrNode.lock"));
    EXPECT_EQ(FolderLock(name.c_str()).state(), FolderLock::State::heldElsewhere);
}
