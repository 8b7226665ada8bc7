// The dump relay on real files and a real loopback connection: the test
// plays the master and reads what the node sends.
#include "node/DumpRelay.h"

#include "node/Protocol.h"
#include "port/clock.h"
#include "port/files.h"
#include "port/socket.h"
#include "support/RecordingWindow.h"
#include "support/TempDirectory.h"
#include "support/LogLines.h"
#include "support/LoopbackConnection.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <functional>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <utility>

using Varnix::DumpRelay;

namespace fs = std::filesystem;
using Varnix::Port::IPv4Address;
using Varnix::Port::ListeningSocket;
using Varnix::Port::StreamSocket;

using VarnixTest::RecordingWindow;

namespace {

bool has(RecordingWindow& window, const std::string& line) {
    for (const auto& l : window.snapshot())
        if (l == line) return true;
    return false;
}

using VarnixTest::countPrefix;

class DumpRelayTest : public VarnixTest::TempDirectoryTest {
protected:
    void SetUp() override {
        VarnixTest::TempDirectoryTest::SetUp();
        dataDir = Varnix::String(u8path(directory).c_str()) + u"/drData/";
        fs::create_directory(directory / "drData");

        VarnixTest::LoopbackConnection pair;
        masterSide = std::move(pair.client);
        nodeSide = std::move(pair.server);
        ASSERT_TRUE(masterSide && nodeSide);
    }

    static std::u16string u8path(const fs::path& p) {
        std::u16string out;
        for (char c : p.string()) out += char16_t(static_cast<unsigned char>(c));
        return out;
    }
    fs::path file(const std::string& name) { return directory / "drData" / name; }
    void write(const std::string& name, const std::string& content) {
        std::ofstream(file(name), std::ios::binary) << content;
    }
    std::string pathText(const std::string& name) { return directory.string() + "/drData//" + name; }

    // Reads one relayed dump: the signal, the size and the content.
    bool readDump(std::string& content) {
        masterSide->SetTimeout(5);
        unsigned char bytes[4];
        masterSide->Read(bytes, 4);
        if (masterSide->LastReadCount() != 4 || Varnix::decodeSignal(bytes) != Varnix::fileDumpSignal) return false;
        masterSide->Read(bytes, 4);
        if (masterSide->LastReadCount() != 4) return false;
        std::int32_t size = std::int32_t(Varnix::decodeSignal(bytes));
        content.assign(std::size_t(size), '\0');
        if (size > 0) masterSide->Read(content.data(), std::uint32_t(size));
        return size == 0 || masterSide->LastReadCount() == std::uint32_t(size);
    }
    bool nothingSent() { return !masterSide->WaitForRead(200); }

    void relay() { dumps.relayDumpFiles(nodeSide.get(), dataDir, &window); }

    Varnix::String dataDir;
    std::unique_ptr<StreamSocket> masterSide, nodeSide;
    RecordingWindow window;
    DumpRelay dumps;
};

TEST_F(DumpRelayTest, EmptyDirectorySendsAndLogsNothing) {
    relay();
    EXPECT_TRUE(nothingSent());
    EXPECT_TRUE(window.snapshot().empty());
    EXPECT_TRUE(dumps.findDumpFile(dataDir).isEmpty());
}

TEST_F(DumpRelayTest, EveryDumpGoesOutWithItsOwnSignalAndIsDeleted) {
    std::string big(65536 * 2 + 17, 'x');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7);
    write("dump1.exr", big);
    write("dump2.exr", "second dump");
    // Too short for any EXR, as an in-place write leaves them on a full
    // disk: held back, and named once the renderer has gone.
    write("dumpling.exr", "");
    write("dumpy.exr", "short");
    // Not dumps: wrong case, wrong suffix, a directory, another prefix.
    write("dump1.EXR", "a");
    write("dump.exr.tmp", "b");
    write("mydump.exr", "c");
    fs::create_directory(file("dump9.exr"));

    relay();
    std::map<std::size_t, std::string> received;
    for (int i = 0; i < 2; ++i) {
        std::string content;
        ASSERT_TRUE(readDump(content)) << "dump " << i;
        received[content.size()] = content;
    }
    EXPECT_TRUE(nothingSent());
    EXPECT_EQ(received[big.size()], big);
    EXPECT_EQ(received[11], "second dump");

    EXPECT_FALSE(fs::exists(file("dump1.exr")));
    EXPECT_FALSE(fs::exists(file("dump2.exr")));
    EXPECT_TRUE(fs::exists(file("dumpling.exr")));
    EXPECT_TRUE(dumps.heldBackCutDumps());
    EXPECT_TRUE(fs::exists(file("dump1.EXR")));
    EXPECT_TRUE(fs::exists(file("dump.exr.tmp")));
    EXPECT_TRUE(fs::exists(file("mydump.exr")));
    EXPECT_TRUE(fs::is_directory(file("dump9.exr")));

    EXPECT_EQ(window.countStartingWith("Started EXR dump ("), 2);
    EXPECT_EQ(window.countStartingWith("Finished EXR dump after 0 s"), 2);
    EXPECT_TRUE(has(window, "Started EXR dump (131,089 bytes, filename: " + pathText("dump1.exr") + ")"));
    EXPECT_TRUE(has(window, "Removed file: " + pathText("dump2.exr")));
    // Each dump: start, finish, removed, in this order.
    auto lines = window.snapshot();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(dumps.reportCutDumps(dataDir, &window), 2);
    EXPECT_TRUE(has(window, "Dump cut short, not sent: " + pathText("dumpling.exr") +
                                " (0 bytes; it lacks the 8 bytes every EXR file begins with)"));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(lines[3 * i].rfind("Started EXR dump (", 0), 0u);
        EXPECT_EQ(lines[3 * i + 1].rfind("Finished EXR dump after", 0), 0u);
        EXPECT_EQ(lines[3 * i + 2].rfind("Removed file: ", 0), 0u);
    }
}

TEST_F(DumpRelayTest, DumpsGoInTheSearchsOrderAndOneWrittenDuringThePassGoesAfterThem) {
    for (const char* name : {"dump3.exr", "dump1.exr", "dumpB.exr", "dump2.exr"}) write(name, name);
    std::vector<std::string> expected;
    std::u16string pattern = u8path(directory / "drData") + u"//dump*";
    for (Varnix::Port::FileSearch search(pattern.c_str()); search.hasEntry(); search.next())
        expected.push_back(
            pathText(std::string(search.name(), search.name() + std::char_traits<char16_t>::length(search.name()))));
    expected.push_back(pathText("dumpNew.exr"));
    // The renderer finishes one more dump while the first is being removed.
    struct WritingWindow : RecordingWindow {
        std::function<void()> atFirstRemoval;
        void log(const char16_t* text) override {
            RecordingWindow::log(text);
            if (atFirstRemoval && std::u16string(text).rfind(u"Removed file: ", 0) == 0)
                std::exchange(atFirstRemoval, nullptr)();
        }
    } writing;
    writing.atFirstRemoval = [this] { write("dumpNew.exr", "late dump"); };
    EXPECT_EQ(dumps.relayDumpFiles(nodeSide.get(), dataDir, &writing), 5);
    std::vector<std::string> started;
    for (const std::string& line : writing.snapshot())
        if (line.rfind("Started EXR dump (", 0) == 0)
            started.push_back(line.substr(line.find("filename: ") + 10, line.size() - line.find("filename: ") - 11));
    EXPECT_EQ(started, expected);
}

TEST_F(DumpRelayTest, ClosedMasterFailsAtTheSignalAtOnceAndLeavesTheFile) {
    write("dump3.exr", "dump data");
    masterSide->Destroy();
    auto start = std::chrono::steady_clock::now();
    relay();
    // No 10 s signal time-out is waited for; generous for a slow run.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_EQ(window.snapshot(),
              (std::vector<std::string>{"Started EXR dump (9 bytes, filename: " + pathText("dump3.exr") + ")",
                                        "File dump signal write failed: 1"}));
    EXPECT_TRUE(fs::exists(file("dump3.exr")));

    dumps.purgeDumpFiles(dataDir, &window);
    EXPECT_FALSE(fs::exists(file("dump3.exr")));
    EXPECT_TRUE(has(window, "Removed file: " + pathText("dump3.exr")));
}

TEST_F(DumpRelayTest, DumpWithoutReadableSizeSendsNothingAndIsGivenUp) {
    // A dangling link: listed by the search, but its size cannot be read.
    fs::create_symlink(directory / "nowhere.exr", file("dump4.exr"));
    relay();
    EXPECT_TRUE(nothingSent());
    EXPECT_EQ(window.snapshot(),
              (std::vector<std::string>{
                  "Started EXR dump (18,446,744,073,709 M bytes, filename: " + pathText("dump4.exr") + ")",
                  "Sending file to remote side failed: 1",
                  "Could not send file, leaving it in place: " + pathText("dump4.exr") + " (no such file)"}));
    EXPECT_TRUE(fs::is_symlink(file("dump4.exr")));
    // The master's stream is still in step, and the given-up file is not
    // tried again: a later dump arrives whole.
    write("dump5.exr", "after that");
    relay();
    std::string content;
    ASSERT_TRUE(readDump(content));
    EXPECT_EQ(content, "after that");
    EXPECT_TRUE(nothingSent());
    EXPECT_EQ(window.countStartingWith("Started EXR dump ("), 2);
    // The purge still removes it.
    dumps.purgeDumpFiles(dataDir, &window);
    EXPECT_FALSE(fs::is_symlink(file("dump4.exr")));
}

TEST_F(DumpRelayTest, DumpThatIsALinkIsNeverSentAndIsGivenUp) {
    // A local program plants a link to a file the master must not get.
    write("secret.txt", "not for the master");
    fs::create_symlink(file("secret.txt"), file("dump6.exr"));
    relay();
    EXPECT_TRUE(nothingSent());
    EXPECT_EQ(
        window.snapshot(),
        (std::vector<std::string>{
            "Started EXR dump (18,446,744,073,709 M bytes, filename: " + pathText("dump6.exr") + ")",
            "Sending file to remote side failed: 1",
            "Could not send file, leaving it in place: " + pathText("dump6.exr") + " (a symbolic link, not sent)"}));
    dumps.purgeDumpFiles(dataDir, &window);
    EXPECT_FALSE(fs::is_symlink(file("dump6.exr")));
    std::ifstream secret(file("secret.txt"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(secret), {}), "not for the master");
}

// What one relay has given up on is its own: another relay (another
// service, another test) still sends a dump of that name.
TEST_F(DumpRelayTest, ADumpGivenUpOnByOneRelayIsStillSentByAnother) {
    write("secret.txt", "not for the master");
    fs::create_symlink(file("secret.txt"), file("dump6.exr"));
    relay();
    ASSERT_EQ(window.countStartingWith("Could not send file, leaving it in place: "), 1);
    // The renderer writes a real dump under that name.
    fs::remove(file("dump6.exr"));
    write("dump6.exr", "a real image");
    relay();
    EXPECT_TRUE(nothingSent()) << "given up on until the next purge";

    DumpRelay other;
    EXPECT_EQ(other.findDumpFile(dataDir), Varnix::String(pathText("dump6.exr").c_str()));
    EXPECT_EQ(other.relayDumpFiles(nodeSide.get(), dataDir, &window), 1);
    std::string content;
    ASSERT_TRUE(readDump(content));
    EXPECT_EQ(content, "a real image");
    EXPECT_FALSE(fs::exists(file("dump6.exr")));
}

TEST_F(DumpRelayTest, DumpThatShrinksWhileItIsSentClosesTheMasterConnection) {
    // Larger than the socket buffers, so the node is still sending when the
    // renderer cuts the file down (sparse: no disk space is used).
    const std::uint32_t size = 64u << 20;
    { std::ofstream(file("dump1.exr"), std::ios::binary); }
    fs::resize_file(file("dump1.exr"), size);
    std::thread node([this] { relay(); });
    unsigned char bytes[4];
    masterSide->SetTimeout(10);
    masterSide->Read(bytes, 4);
    EXPECT_EQ(Varnix::decodeSignal(bytes), Varnix::fileDumpSignal);
    masterSide->Read(bytes, 4);
    EXPECT_EQ(Varnix::decodeSignal(bytes), size);
    fs::resize_file(file("dump1.exr"), 1000);

    // The master reads on until the node closes; the frame never completes,
    // and nothing that follows could be taken for the rest of it.
    std::uint64_t got = 0;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        masterSide->Read(buffer.data(), std::uint32_t(buffer.size()));
        got += masterSide->LastReadCount();
        if (masterSide->LastReadCount() < buffer.size()) break;
    }
    node.join();
    EXPECT_LT(got, size);
    EXPECT_TRUE(masterSide->IsClosed()) << "the node kept the connection open after a cut frame";
    EXPECT_FALSE(nodeSide->IsOk());
    auto lines = window.snapshot();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Started EXR dump (67,108,864 bytes, filename: " + pathText("dump1.exr") + ")");
    EXPECT_EQ(lines[1], "Sending file to remote side failed: 1");
    EXPECT_EQ(lines[2], "Closing master connection: a dump was cut short (the file shrank while it was read)");
    EXPECT_TRUE(fs::exists(file("dump1.exr")));

    // The next pass finds the master gone, as when a master drops.
    relay();
    EXPECT_EQ(window.snapshot().back(), "File dump signal write failed: 1");
}

TEST_F(DumpRelayTest, PurgeRemovesOnlyDumps) {
    write("dump1.exr", "1");
    write("dump22.exr", "2");
    write("dump1.EXR", "3");
    write("DrLog.txt", "log");
    dumps.purgeDumpFiles(dataDir, &window);
    EXPECT_FALSE(fs::exists(file("dump1.exr")));
    EXPECT_FALSE(fs::exists(file("dump22.exr")));
    EXPECT_TRUE(fs::exists(file("dump1.EXR")));
    EXPECT_TRUE(fs::exists(file("DrLog.txt")));
    EXPECT_EQ(window.countStartingWith("Removed file: "), 2);
    EXPECT_TRUE(nothingSent());
}

// Runs `body` in a child process that cannot write to the data directory, so
// that deleting a file there fails for real (root drops to "nobody" first:
// root may delete anything). The child's log lines come back in `lines`;
// `whileRunning` runs in this process meanwhile. Returns the child's status.
template <class Body>
int runWithoutDeleteRights(
    const fs::path& directory, Body body, std::vector<std::string>& lines, std::function<void()> whileRunning = [] {},
    fs::perms dataPerms = fs::perms(0555)) {
    fs::path drData = directory / "drData";
    fs::path linesFile = directory / "child-lines.txt";
    std::ofstream(linesFile).close();
    fs::permissions(directory, fs::perms(0755));
    fs::permissions(linesFile, fs::perms(0666));
    fs::permissions(drData, dataPerms);
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(90);
        RecordingWindow childWindow;
        int status = body(childWindow) ? 0 : 1;
        std::ofstream out(linesFile);
        for (const auto& line : childWindow.snapshot()) out << line << "\n";
        out.close();
        _exit(status);
    }
    whileRunning();
    int status = 0;
    waitpid(pid, &status, 0);
    fs::permissions(drData, fs::perms(0755));
    std::ifstream in(linesFile);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `body` in a child process and waits at most `seconds` for it; a
// child that does not end by then (a loop that never stops) is killed.
// Returns its exit status, or -1 when it had to be killed.
template <class Body>
int runWithin(int seconds, Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body() ? 0 : 1);
    auto start = std::chrono::steady_clock::now();
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(seconds)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Names a renderer in a Latin-1 locale, or any local program, may write:
// bytes that are not UTF-8. The name found must be the name deleted.
TEST_F(DumpRelayTest, PurgeRemovesADumpWhoseNameIsNotUtf8Once) {
    write("dump\xff.exr", "latin-1");
    write("dump\xe9t\xe9.exr", "latin-1 too");
    write("dump\xc3.exr", "a cut UTF-8 sequence");
    int status = runWithin(60, [&] {
        RecordingWindow w;
        dumps.purgeDumpFiles(dataDir, &w);
        return w.countStartingWith("Removed file: ") == 3;
    });
    EXPECT_EQ(status, 0) << (status == -1 ? "the purge never ended" : "not one line per file");
    EXPECT_FALSE(fs::exists(file("dump\xff.exr")));
    EXPECT_FALSE(fs::exists(file("dump\xe9t\xe9.exr")));
    EXPECT_FALSE(fs::exists(file("dump\xc3.exr")));
}

TEST_F(DumpRelayTest, DumpWhoseNameIsNotUtf8IsSentAndDeletedOnce) {
    write("dump\xfe.exr", "not UTF-8");
    int status = runWithin(60, [&] {
        relay();
        return true;
    });
    ASSERT_EQ(status, 0) << "the relay pass never ended";
    std::string content;
    ASSERT_TRUE(readDump(content));
    EXPECT_EQ(content, "not UTF-8");
    EXPECT_TRUE(nothingSent());
    EXPECT_FALSE(fs::exists(file("dump\xfe.exr")));
}

TEST_F(DumpRelayTest, DeletionWaitsWhileTheFileIsStillThere) {
    write("dump6.exr", "x");
    std::string path = pathText("dump6.exr");
    std::vector<std::string> lines;
    auto start = std::chrono::steady_clock::now();
    int status = runWithoutDeleteRights(
        directory, [&](RecordingWindow& w) { return dumps.deleteDumpFile(Varnix::String(path.c_str()), &w); }, lines,
        [&] {
            // Whoever held the file lets it go after a while.
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            fs::remove(file("dump6.exr"));
        });
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status, 0);
    EXPECT_GE(took, std::chrono::milliseconds(700));
    EXPECT_LT(took, std::chrono::seconds(30));  // status 0 already says: not given up
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), "Removed file: " + path);
    for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i], "Waiting for file deletion: " + path);
}

TEST_F(DumpRelayTest, DeletionGivesUpAfterTenSecondsNamingTheFile) {
    write("dump7.exr", "x");
    write("dump8.exr", "y");
    std::string path = pathText("dump7.exr");
    std::vector<std::string> lines;
    auto start = std::chrono::steady_clock::now();
    int status = runWithoutDeleteRights(
        directory, [&](RecordingWindow& w) { return dumps.deleteDumpFile(Varnix::String(path.c_str()), &w); }, lines);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status, 1);
    EXPECT_GE(took, std::chrono::milliseconds(9800));
    EXPECT_LT(took, std::chrono::seconds(60));  // gives up: a bounded wait, generous for a slow run
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Could not delete file, leaving it in place: " + path);
    EXPECT_TRUE(fs::exists(file("dump7.exr")));

    // A purge tries each such file once instead of for ever.
    lines.clear();
    status = runWithoutDeleteRights(
        directory,
        [&](RecordingWindow& w) {
            dumps.purgeDumpFiles(dataDir, &w);
            return true;
        },
        lines);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(countPrefix(lines, "Could not delete file, leaving it in place: " + path), 1);
    EXPECT_EQ(countPrefix(lines, "Could not delete file, leaving it in place: " + pathText("dump8.exr")), 1);
    EXPECT_EQ(countPrefix(lines, "Could not delete file"), 2);
}

TEST_F(DumpRelayTest, PurgeDeletesEveryDumpItCanAndNoneOfThemReachesTheMaster) {
    // In a sticky directory the child ("nobody") may delete only its own
    // files: 30 stale dumps go, dump0stuck.exr stays, wherever the search
    // lists it.
    write("dump0stuck.exr", "stuck");
    for (int i = 1; i <= 30; ++i) {
        write("dump" + std::to_string(i) + ".exr", "stale " + std::to_string(i));
        ASSERT_EQ(0, chown(file("dump" + std::to_string(i) + ".exr").c_str(), 65534, 65534));
    }
    std::vector<std::string> lines;
    int status = runWithoutDeleteRights(
        directory,
        [&](RecordingWindow& w) {
            dumps.purgeDumpFiles(dataDir, &w);
            // What a job then relays: nothing that was there before.
            dumps.relayDumpFiles(nodeSide.get(), dataDir, &w);
            return true;
        },
        lines, [] {}, fs::perms(01777));
    EXPECT_EQ(status, 0);
    for (int i = 1; i <= 30; ++i) EXPECT_FALSE(fs::exists(file("dump" + std::to_string(i) + ".exr"))) << i;
    EXPECT_TRUE(fs::exists(file("dump0stuck.exr")));
    EXPECT_TRUE(nothingSent());
    EXPECT_EQ(countPrefix(lines, "Could not delete file, leaving it in place: " + pathText("dump0stuck.exr")), 1);
    EXPECT_EQ(countPrefix(lines, "Started EXR dump"), 0);
}

TEST_F(DumpRelayTest, DumpsThatCannotBeSentAreGivenUpAndTheOthersStillGo) {
    write("dump1.exr", "dump one");
    write("dump2.exr", "dump two");
    write("dump3.exr", "dump three");
    ASSERT_EQ(0, mkfifo(file("dump4.exr").c_str(), 0666));  // opening it must not block
    fs::create_symlink(directory / "nowhere.exr", file("dump5.exr"));
    write("dump6.exr", "secret");  // root's, and unreadable to the child
    fs::permissions(file("dump6.exr"), fs::perms(0600));
    { std::ofstream(file("dump7.exr"), std::ios::binary); }
    fs::resize_file(file("dump7.exr"), 2147483648ull);  // one byte too large for a frame
    std::map<std::string, int> received;
    std::vector<std::string> lines;
    int status = runWithoutDeleteRights(
        directory,
        [&](RecordingWindow& w) {
            dumps.relayDumpFiles(nodeSide.get(), dataDir, &w);  // one pass does it all
            return true;
        },
        lines,
        [&] {
            std::string content;
            auto start = std::chrono::steady_clock::now();
            while (received.size() < 3 && std::chrono::steady_clock::now() - start < std::chrono::seconds(30))
                if (readDump(content)) ++received[content];
        },
        fs::perms(0777));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(nothingSent());
    EXPECT_EQ(received, (std::map<std::string, int>{{"dump one", 1}, {"dump two", 1}, {"dump three", 1}}));
    EXPECT_EQ(countPrefix(lines, "Could not send file, leaving it in place: "), 4);
    EXPECT_EQ(countPrefix(lines, "Could not send file, leaving it in place: " + pathText("dump4.exr") +
                                     " (not a regular file)"),
              1);
    EXPECT_EQ(
        countPrefix(lines, "Could not send file, leaving it in place: " + pathText("dump5.exr") + " (no such file)"),
        1);
    EXPECT_EQ(
        countPrefix(lines, "Could not send file, leaving it in place: " + pathText("dump6.exr") + " (cannot be read"),
        1);
    EXPECT_EQ(countPrefix(lines, "Could not send file, leaving it in place: " + pathText("dump7.exr") +
                                     " (larger than 2,147,483,647 bytes)"),
              1);
    EXPECT_EQ(countPrefix(lines, "Finished EXR dump after "), 3);
    for (int i = 1; i <= 3; ++i) EXPECT_FALSE(fs::exists(file("dump" + std::to_string(i) + ".exr"))) << i;
    for (int i = 4; i <= 7; ++i)
        EXPECT_TRUE(fs::exists(fs::symlink_status(file("dump" + std::to_string(i) + ".exr")))) << i;
}

TEST_F(DumpRelayTest, DeletionGivesUpOnAMachineUpForMoreThanTwentyFourDays) {
    // The node's clock passes 2^31 ms (24.8 days) during the 10 s wait: a
    // 32-bit count gives up there, and with it the give-up would never come.
    write("dump9.exr", "x");
    std::string path = pathText("dump9.exr");
    Varnix::Port::setElapsedOffsetForTests((1LL << 31) - 3000 - Varnix::Port::elapsedMilliseconds());
    std::vector<std::string> lines;
    int status = runWithoutDeleteRights(
        directory, [&](RecordingWindow& w) { return dumps.deleteDumpFile(Varnix::String(path.c_str()), &w); }, lines);
    bool pastTheLimit = Varnix::Port::elapsedMilliseconds() > (1LL << 31);
    Varnix::Port::setElapsedOffsetForTests(0);
    EXPECT_TRUE(pastTheLimit);
    EXPECT_EQ(status, 1);  // given up, not deleted
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Could not delete file, leaving it in place: " + path);
    EXPECT_TRUE(fs::exists(file("dump9.exr")));
}

TEST_F(DumpRelayTest, DumpThatCannotBeDeletedIsSentOnceAndDoesNotHoldBackTheOthers) {
    // In a sticky directory the child ("nobody") may delete only its own
    // files: dump1.exr stays, the others go.
    write("dump1.exr", "stuck dump");
    for (int i = 2; i <= 6; ++i) {
        write("dump" + std::to_string(i) + ".exr", "the dump " + std::to_string(i));
        ASSERT_EQ(0, chown(file("dump" + std::to_string(i) + ".exr").c_str(), 65534, 65534));
    }
    std::map<std::string, int> received;
    std::vector<std::string> lines;
    int status = runWithoutDeleteRights(
        directory,
        [&](RecordingWindow& w) {
            for (int pass = 0; pass < 3; ++pass) dumps.relayDumpFiles(nodeSide.get(), dataDir, &w);
            return true;
        },
        lines,
        [&] {
            // The give-up takes 10 s; read until every dump has come.
            auto start = std::chrono::steady_clock::now();
            std::string content;
            while (received.size() < 6 && std::chrono::steady_clock::now() - start < std::chrono::seconds(30))
                if (readDump(content)) ++received[content];
        },
        fs::perms(01777));
    EXPECT_EQ(status, 0);
    // Anything sent after the last of them would be a repeat.
    std::string content;
    while (!nothingSent() && readDump(content)) ++received[content];
    EXPECT_EQ(received["stuck dump"], 1);
    for (int i = 2; i <= 6; ++i) EXPECT_EQ(received["the dump " + std::to_string(i)], 1) << i;
    EXPECT_TRUE(fs::exists(file("dump1.exr")));
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("Could not delete file", 0) == 0; }),
              1);
}

}  // namespace
