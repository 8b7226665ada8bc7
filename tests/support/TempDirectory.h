#pragma once
// A fresh, empty directory per test under the system's temporary directory,
// removed afterwards. Tests and fixtures that need files derive from
// TempDirectoryTest; code outside a fixture holds a TempDirectory.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

namespace VarnixTest {

// Creates a new directory of its own on construction and removes it with
// everything in it on destruction (unless kept). Throws when it cannot be
// created. Not shared between threads.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    // Absolute, without a trailing separator.
    const std::filesystem::path& path() const { return where; }
    // Leaves the directory in place for a look after a failure.
    void keep() { kept = true; }

private:
    std::filesystem::path where;
    bool kept = false;
};

// A folder name the system's narrow text cannot carry: bytes that are not
// UTF-8 where names are bytes; letters outside the ANSI code pages where
// names are UTF-16 (Windows).
std::filesystem::path oddFolderName();
// `where` as a path of the platform layer (port/path.h).
std::u16string portPath(const std::filesystem::path& where);

class TempDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The path of `name` inside the directory.
    std::string pathOf(const std::string& name) const;
    // Writes `bytes` exactly to the file `name`, replacing it; returns its path.
    std::string writeBytes(const std::string& name, const std::string& bytes) const;
    // The whole file `name`, or "" when it cannot be read.
    std::string readBytes(const std::string& name) const;
    // The text file `name` with the line ends the node writes on this system
    // (CR LF on Windows) read back as "\n"; a bare line feed where CR LF was
    // due comes back as "[LF without CR]\n", so a comparison shows it.
    std::string readText(const std::string& name) const;

    std::filesystem::path directory;  // absolute, without a trailing separator
    // When set, a failed test leaves its directory behind and says where.
    bool keepAfterFailure = false;

private:
    std::unique_ptr<TempDirectory> owned;
};

}  // namespace VarnixTest
