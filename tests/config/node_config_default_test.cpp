// Writing the default DrConfig.txt from the registry when there is none.
#include "RegistryTestSupport.h"
#include "config/NewestRelease.h"
#include "config/NodeConfigTestSupport.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace {

using Entries = std::array<std::string, 6>;
using Lines = std::vector<std::string>;

using NodeConfigDefaultTest = ConfigTest::NodeConfigTestOn<ConfigTest::RegistryFileTestBase>;

TEST_F(NodeConfigDefaultTest, ReleasesFromTheRegistryAreWrittenInAscendingOrder) {
    useRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMaxDesign\\17.0\\MAX-1:409]\n"
                "\"Installdir\"=\"D:\\\\Design 2015\\\\\"\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMax\\14.0]\n"
                "\"Installdir\"=\"C:\\\\Program Files\\\\Autodesk\\\\3ds Max 2012\\\\\"\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMax\\20.0]\n"
                "\"Installdir\"=\"C:\\\\Max 2018\"\n");
    Entries entries = load();
    EXPECT_EQ(readConfig(), "2012 C:\\Program Files\\Autodesk\\3ds Max 2012\\\n2015 D:\\Design 2015\\\n");
    EXPECT_EQ(entries, (Entries{"", "C:\\Program Files\\Autodesk\\3ds Max 2012\\", "", "", "D:\\Design 2015\\", ""}));
    EXPECT_EQ(window.snapshot(),
              (Lines{ConfigTest::cannotReadLine, "Creating default DrConfig.txt: found 2 3dsmax versions"}));
    EXPECT_TRUE(loaded);

    // The next start reads what was written, silently.
    window.clear();
    EXPECT_EQ(load(), entries);
    EXPECT_EQ(window.snapshot(), Lines{});
}

// Releases after 2016 are scanned for, with the same keys and in the same
// order, only up to the newest the admin turned on.
TEST_F(NodeConfigDefaultTest, ReleasesAfter2016OnlyUpToTheNewestTaken) {
    useRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMax\\26.0\\MAX-1:407]\n"
                "\"Installdir\"=\"C:\\\\Max 2024\\\\\"\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMax\\18.0]\n"
                "\"Installdir\"=\"C:\\\\Max 2016\\\\\"\n");
    for (std::int32_t year : {2016, 2023, 2027}) {
        std::filesystem::remove(configPath());
        newest = year;
        load();
        EXPECT_EQ(readConfig(), year < 2024 ? "2016 C:\\Max 2016\\\n" : "2016 C:\\Max 2016\\\n2024 C:\\Max 2024\\\n")
            << year;
    }
}

// The admin's newestMaxRelease: a year from 2017 on raises the newest
// release taken, up to the newest this node knows; anything else keeps 2016.
TEST_F(NodeConfigDefaultTest, NewestMaxReleaseRaisesTheNewestReleaseTaken) {
    // A value, and the year taken (negative: noted as past the newest known).
    const std::pair<const char*, std::int32_t> cases[] = {
        {"", 2016}, {"dword:000007da", 2016}, {"dword:000007e8", 2024}, {"dword:000007f8", -2030}, {"\"2024\"", 2016}};
    for (const auto& [value, year] : cases) {
        useRegistry(*value ? "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnix]\n\"newestMaxRelease\"=" + std::string(value) + "\n"
                           : std::string());
        Varnix::String note;
        EXPECT_EQ(Varnix::readNewestHostYear(note), year < 0 ? -year : year) << value;
        EXPECT_EQ(note.isEmpty(), year > 0) << value;
    }
}

TEST_F(NodeConfigDefaultTest, OneReleaseWithAnEmptyDirectory) {
    useRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMax\\18.0]\n\"Installdir\"=\"\"\n");
    Entries entries = load();
    EXPECT_EQ(readConfig(), "2016 \n");
    EXPECT_EQ(entries, Entries{});
    EXPECT_EQ(window.snapshot(),
              (Lines{ConfigTest::cannotReadLine, "Creating default DrConfig.txt: found 1 3dsmax versions"}));
}

TEST_F(NodeConfigDefaultTest, NoReleasesLeaveAnEmptyFileAndAWarning) {
    Entries entries = load();
    EXPECT_EQ(entries, Entries{});
    EXPECT_TRUE(std::filesystem::is_regular_file(configPath()));
    EXPECT_EQ(readConfig(), "");
    EXPECT_EQ(window.snapshot(), (Lines{ConfigTest::cannotReadLine, ConfigTest::noVersionsLine}));

    window.clear();
    load();
    EXPECT_EQ(window.snapshot(), Lines{}) << "the empty file is read at the next start";
}

// A DrConfig.txt that exists but cannot be opened for reading (on Windows a
// sharing violation or a denied read; here a file the process may write but
// not read, as "nobody" since root reads everything). The admin's lines stay,
// the node says why it could not read them and goes on without releases.
TEST_F(NodeConfigDefaultTest, AFileThatCannotBeReadIsNeverReplaced) {
    useRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMax\\18.0]\n\"Installdir\"=\"C:\\\\Max\"\n");
    const std::string adminLines = "# hand-made\n2014 D:\\Max 2014\\\n";
    writeConfig(adminLines);
    std::string results = pathOf("child-results.txt");
    std::ofstream(results).close();
    ASSERT_EQ(chmod(directory.c_str(), 0777), 0);
    ASSERT_EQ(chmod(results.c_str(), 0666), 0);
    ASSERT_EQ(chmod(configPath().c_str(), 0222), 0);

    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(90);
        Entries entries = load();
        std::ofstream out(results);
        for (const auto& line : window.snapshot()) out << "line: " << line << "\n";
        for (const auto& entry : entries) out << "entry: " << entry << "\n";
        out << "loaded: " << loaded << "\n";
        out.close();
        _exit(out ? 0 : 91);
    }
    int status = 0;
    waitpid(child, &status, 0);
    chmod(configPath().c_str(), 0644);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    EXPECT_EQ(readConfig(), adminLines);
    EXPECT_EQ(readBytes("child-results.txt"),
              "line: Cannot read the config file (Permission denied): it is left as it is and no 3dsmax "
              "versions are configured\n"
              "entry: \nentry: \nentry: \nentry: \nentry: \nentry: \n"
              "loaded: 1\n");
}

}  // namespace
