// The log sink on its own, without a window: line format, order, batching,
// runs of identical lines, the file; and the follower that reads it from
// another process.
#include "core/Exception.h"
#include "core/LogFollower.h"
#include "core/LogSink.h"
#include "port/writefault.h"
#include "support/TempDirectory.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

using namespace VarnixTest;

namespace {

const std::string stamp = R"(\d{4}/\d{2}/\d{2}-\d{2}:\d{2}:\d{2})";

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::u16string wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

bool eventually(const std::function<bool()>& done, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Lines whose text (after the stamp) is exactly `line`.
int exactLines(const std::string& text, const std::string& line) {
    int n = 0;
    for (const std::string& l : splitLines(text))
        if (l.size() > 22 && l.substr(22) == line) ++n;
    return n;
}

// The total of the counts in "last message repeated N times: <text>" lines.
long long repeatedCount(const std::string& text, const std::string& repeated) {
    long long total = 0;
    std::regex count("   last message repeated ([0-9,]+) times?: (.*)");
    for (const std::string& line : splitLines(text)) {
        std::smatch m;
        if (!std::regex_search(line, m, count) || m[2].str() != repeated) continue;
        std::string digits;
        for (char c : m[1].str())
            if (c != ',') digits += c;
        total += std::stoll(digits);
    }
    return total;
}

}  // namespace

class LogSink : public TempDirectoryTest {
protected:
    void SetUp() override {
        TempDirectoryTest::SetUp();
        path = pathOf("DrLog.txt");
    }
    void open() { sink.open(Varnix::String(path.c_str())); }
    std::string text() const { return readText("DrLog.txt"); }
    // Waits, without driving anything, until the file holds `lines` line feeds.
    std::string waitForLines(size_t lines, int timeoutMs = 10000) {
        std::string t;
        eventually(
            [&] {
                t = text();
                return size_t(std::count(t.begin(), t.end(), '\n')) >= lines;
            },
            timeoutMs);
        return t;
    }

    std::string path;
    Varnix::LogSink sink;
};

TEST_F(LogSink, LinesBeforeTheOpenComeWithTheFirstWriteInCallOrderAndFormat) {
    long long before = std::time(nullptr);
    sink.log(u"DR server started");
    sink.log(u"Closed loopback connection\n\n");
    sink.log(u"");
    open();
    // Nothing is written before the first tick.
    EXPECT_EQ(text(), "");
    std::thread([&] { sink.log(u"Ready for new connection"); }).join();
    std::string t = waitForLines(6);
    EXPECT_TRUE(std::regex_match(
        t, std::regex("(" + stamp + ")   DR server started\n" + stamp + "   Closed loopback connection\n\n\n" + stamp +
                      "   \n" + stamp + "   Ready for new connection\n")))
        << t;
    std::tm when{};
    std::istringstream(t.substr(0, 19)) >> std::get_time(&when, "%Y/%m/%d-%H:%M:%S");
    when.tm_isdst = -1;
    EXPECT_GE(std::mktime(&when), before - 1) << t;
    EXPECT_LE(std::mktime(&when), std::time(nullptr)) << t;
}

TEST_F(LogSink, LinesReachTheFileOnTheirOwnAndWhatIsWrittenIsWhatTheWindowTakes) {
    // The window is told when text waits where none did, once until it takes it.
    std::atomic<int> told{0};
    sink.notifyWritten([](void* count) { ++*static_cast<std::atomic<int>*>(count); }, &told);
    open();
    sink.log(u"one");
    // No one drives the sink: its own thread writes.
    std::string t = waitForLines(1);
    EXPECT_TRUE(eventually([&] { return told == 1; }));
    Varnix::String shown;
    sink.takeWritten(shown);
    sink.log(u"two\nthree");
    waitForLines(3);
    sink.log(u"four");
    waitForLines(4);
    sink.takeWritten(shown);
    EXPECT_EQ(told, 2);
    shown.append(Varnix::String());
    EXPECT_EQ(Varnix::String(shown).toNarrow(), text());
    // A tick with nothing pending writes nothing and tells nobody.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    Varnix::String more;
    sink.takeWritten(more);
    EXPECT_EQ(more.length(), 0u);
    EXPECT_EQ(told, 2);
    EXPECT_EQ(text(), Varnix::String(shown).toNarrow());
}

TEST_F(LogSink, EightThreadsLoggingAtOnceLoseNoLineAndKeepTheirOwnOrder) {
    open();
    constexpr int threads = 8;
    constexpr int perThread = 3000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([this, t] {
            for (int i = 0; i < perThread; ++i)
                sink.log(wide("worker " + std::to_string(t) + " line " + std::to_string(i)).c_str());
        });
    for (auto& w : workers) w.join();
    std::vector<std::string> lines = splitLines(waitForLines(threads * perThread));
    ASSERT_EQ(lines.size(), size_t(threads * perThread));
    std::vector<int> next(threads, 0);
    std::regex line(stamp + "   worker (\\d) line (\\d+)");
    for (const std::string& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        int t = std::stoi(m[1].str());
        ASSERT_EQ(std::stoi(m[2].str()), next[t]) << "thread " << t << " out of order";
        ++next[t];
    }
}

TEST_F(LogSink, EveryOpenAppendsAndCloseWritesWhatIsLeft) {
    open();
    sink.log(u"first run");
    sink.close();
    EXPECT_EQ(exactLines(text(), "first run"), 1);  // at once, not at a tick
    Varnix::LogSink second;
    second.open(Varnix::String(path.c_str()));
    second.log(u"second run");
    second.close();
    std::vector<std::string> lines = splitLines(text());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].substr(22), "second run");
}

TEST_F(LogSink, LogFileThatCannotBeOpenedOrIsALinkFailsTheOpenWithTheFileError) {
    std::filesystem::create_directory(path);
    EXPECT_THROW(open(), Varnix::Exception);
    std::filesystem::remove(path);
    writeBytes("outside.txt", "keep\n");
    std::filesystem::create_symlink(pathOf("outside.txt"), path);
    try {
        open();
        FAIL() << "the log was opened through a link";
    } catch (const Varnix::Exception& e) {
        EXPECT_EQ(e.getCode(), 456);
        EXPECT_EQ(std::string(e.what()), "Cannot open/read/write file '" + path +
                                             "': it is a symbolic link, and the node never writes through one");
    }
    sink.log(u"never written");
    sink.close();
    EXPECT_EQ(readBytes("outside.txt"), "keep\n");
}

TEST_F(LogSink, VeryLongLineIsCutWithAMark) {
    open();
    sink.log(std::u16string(100000, u'x').c_str());
    sink.close();
    EXPECT_EQ(text().substr(22), std::string(4096, 'x') + " [line cut, 100,000 characters in all]\n");
}

TEST_F(LogSink, OnlyRunsOfIdenticalLinesAreCountedAndEveryCountReachesTheFile) {
    open();
    // A repetition after a pause is written in full.
    sink.log(u"Replying to discovery ping from master");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    sink.log(u"Replying to discovery ping from master");
    for (int i = 0; i < 10000; ++i) sink.log(u"Got bogus master connection");
    // A job's lines recur, but never one right after itself.
    for (int i = 0; i < 5000; ++i) {
        sink.log(u"Started EXR dump (1,000 bytes): dump.exr");
        sink.log(u"Removed file: dump.exr");
    }
    for (int i = 0; i < 100; ++i) sink.log(u"Ready for new connection");
    sink.close();  // the last count is written on closing
    std::string t = text();
    EXPECT_EQ(exactLines(t, "Replying to discovery ping from master"), 2);
    EXPECT_EQ(exactLines(t, "Got bogus master connection"), Varnix::LogRepeats::keptPerRun);
    EXPECT_EQ(repeatedCount(t, "Got bogus master connection"), 10000 - Varnix::LogRepeats::keptPerRun);
    EXPECT_EQ(exactLines(t, "Started EXR dump (1,000 bytes): dump.exr"), 5000);
    EXPECT_EQ(exactLines(t, "Removed file: dump.exr"), 5000);
    EXPECT_EQ(exactLines(t, "Ready for new connection"), Varnix::LogRepeats::keptPerRun);
    EXPECT_EQ(repeatedCount(t, "Ready for new connection"), 100 - Varnix::LogRepeats::keptPerRun);
    EXPECT_EQ(int(std::count(t.begin(), t.end(), '\n')), 2 + 2 * Varnix::LogRepeats::keptPerRun + 10000 + 2);
}

TEST_F(LogSink, LinesReachTheFileInHalfSecondBatchesNotOneByOne) {
    open();
    // A worker logs a line every 10 ms, as a busy job does.
    std::atomic<bool> stop{false};
    std::atomic<int> logged{0};
    std::thread worker([&] {
        while (!stop) {
            sink.log(wide("busy " + std::to_string(logged++)).c_str());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::vector<size_t> sizes;
    size_t lastSize = 0, lastLines = 0;
    bool wholeLines = true;
    eventually(
        [&] {
            std::string t = text();
            if (t.size() != lastSize) {
                wholeLines = wholeLines && t.back() == '\n';
                size_t lines = size_t(std::count(t.begin(), t.end(), '\n'));
                if (lastSize > 0) sizes.push_back(lines - lastLines);  // the first write is a partial period
                lastSize = t.size();
                lastLines = lines;
            }
            return sizes.size() >= 6;
        },
        30000);
    stop = true;
    worker.join();
    ASSERT_GE(sizes.size(), 6u);
    EXPECT_TRUE(wholeLines) << "a write ended inside a line";
    // Each write carries what was logged during one period of half a second:
    // at most 50 lines at the worker's pace, and a slow run only makes it log
    // fewer, so the upper bound holds however slow the run.
    std::sort(sizes.begin(), sizes.end());
    EXPECT_GE(sizes[sizes.size() / 2], 3u) << "lines per write";
    EXPECT_LE(sizes[sizes.size() / 2], 150u) << "lines per write: the period is longer than half a second";
    // And nothing stays behind: the last line logged reaches the file.
    EXPECT_TRUE(eventually([&] { return exactLines(text(), "busy " + std::to_string(logged - 1)) == 1; }));
}

TEST_F(LogSink, DeletedOrReplacedFileIsOpenedAgainAndOldFilesRotateUnderTheirNames) {
    Varnix::LogSink small(4096);
    small.open(Varnix::String(path.c_str()));
    small.log(u"first");
    small.flush();
    std::filesystem::remove(path);
    small.log(u"after the delete");
    small.flush();
    EXPECT_EQ(exactLines(text(), "after the delete"), 1);
    std::filesystem::rename(path, pathOf("elsewhere.txt"));
    writeBytes("DrLog.txt", "");
    small.log(u"after the replace");
    small.flush();
    EXPECT_EQ(exactLines(text(), "after the replace"), 1);
    EXPECT_EQ(exactLines(readText("elsewhere.txt"), "after the replace"), 0);
    // 600 lines of about 40 bytes: five or six files of 4 to 5 kB, of which four are kept.
    for (int i = 0; i < 600; ++i) {
        small.log(wide("rotation line " + std::to_string(i)).c_str());
        if (i % 20 == 19) small.flush();
    }
    std::string all;
    for (const char* name : {"DrLog.3.txt", "DrLog.2.txt", "DrLog.1.txt", "DrLog.txt"}) {
        std::string part = readText(name);
        EXPECT_GT(part.size(), 0u) << name;
        EXPECT_LT(part.size(), 4096u + 20 * 60) << name;
        all += part;
    }
    EXPECT_FALSE(std::filesystem::exists(pathOf("DrLog.4.txt")));
    EXPECT_EQ(exactLines(all, "rotation line 599"), 1);
    EXPECT_GE(std::count(all.begin(), all.end(), '\n'), 3 * 4096 / 45);
}

// A full disk, as the writes' limit (port/writefault.h) makes one: a first
// write puts part of its bytes and fails, the next ones put nothing.
TEST_F(LogSink, FullDiskNeverTearsALineAndTheLossIsToldOnceThenCountedInTheFile) {
    struct Unlimited {
        ~Unlimited() { Varnix::Port::limitFileWrites(-1); }
    } unlimitedAtTheEnd;
    open();
    sink.log(u"before the disk was full");
    sink.flush();
    // Room left for part of one line.
    Varnix::Port::limitFileWrites(30);
    // Two writes: the first cut short by the full disk, the second refused.
    for (int i = 0; i < 600; ++i) {
        sink.log(wide("lost line " + std::to_string(i)).c_str());
        if (i % 300 == 299) sink.flush();
    }
    Varnix::String shown;
    sink.takeWritten(shown);
    std::string window = shown.toNarrow();
    Varnix::Port::limitFileWrites(-1);
    sink.log(u"room again");
    sink.close();
    std::string t = readText("DrLog.txt");
    std::vector<std::string> lines = splitLines(t);
    ASSERT_EQ(lines.size(), 3u) << t;
    EXPECT_EQ(lines[0].substr(22), "before the disk was full");
    std::string full = Varnix::Port::diskFull().text();
    EXPECT_EQ(lines[1].substr(22), "600 lines could not be written to DrLog.txt (" + full + ") and are lost");
    EXPECT_EQ(lines[2].substr(22), "room again");
    // The reason holds no character a pattern would take for an operator.
    std::regex notice(stamp + "   Cannot write to DrLog.txt \\(" + full +
                      "\\): log lines are lost until it can be written again");
    EXPECT_EQ(std::distance(std::sregex_iterator(window.begin(), window.end(), notice), std::sregex_iterator()), 1)
        << window;
}

namespace {

std::string narrow(Varnix::String text) { return text.toNarrow(); }

}  // namespace

// The companion's reader against the real writer: a file not there yet,
// rotated while lines flow, deleted and made again. Every line arrives once
// and in order; the old file's last lines are not lost to a rotation.
TEST_F(LogSink, FollowerSeesEveryWrittenLineOnceAcrossRotationsDeletionsAndAFileNotThereYet) {
    Varnix::LogFollower follower{Varnix::String(path.c_str()), Varnix::String(pathOf("DrLog.1.txt").c_str())};
    Varnix::String seen;
    EXPECT_FALSE(follower.readNew(seen));
    Varnix::LogSink small(4096);
    small.open(Varnix::String(path.c_str()));
    for (int i = 0; i < 600; ++i) {
        small.log(wide("followed line " + std::to_string(i)).c_str());
        if (i % 20 == 19) small.flush();
        // Read now and then, so that rotations fall between reads.
        if (i % 50 == 49) follower.readNew(seen);
        if (i == 300) {
            // Nothing unread is lost with the deleted file.
            small.flush();
            follower.readNew(seen);
            std::filesystem::remove(path);
        }
    }
    small.flush();
    EXPECT_TRUE(follower.readNew(seen));
    std::vector<std::string> lines = splitLines(narrow(seen));
    std::vector<std::string> numbers;
    for (const std::string& line : lines)
        if (std::regex_search(line, std::regex("^" + stamp + "   followed line \\d+$")))
            numbers.push_back(line.substr(22));
    ASSERT_EQ(numbers.size(), 600u) << narrow(seen);
    for (int i = 0; i < 600; ++i) EXPECT_EQ(numbers[size_t(i)], "followed line " + std::to_string(i));
}

// Where the first read starts, and what a read takes of a file another
// program is writing: whole lines only, CR LF read as a line feed.
TEST_F(LogSink, FollowerTakesWholeLinesAndStartsNearTheEndOfALongLog) {
    writeBytes("DrLog.txt", "older line\r\nlast whole line\r\nhalf a li");
    Varnix::LogFollower follower{Varnix::String(path.c_str()), Varnix::String(pathOf("DrLog.1.txt").c_str()), 20};
    Varnix::String seen;
    ASSERT_TRUE(follower.readNew(seen));
    // Twenty bytes from the end fall inside "last whole line": it is left out.
    EXPECT_EQ(narrow(seen), "");
    writeBytes("DrLog.txt", "older line\r\nlast whole line\r\nhalf a line\r\nnext\r\n");
    follower.readNew(seen);
    EXPECT_EQ(narrow(seen), "half a line\nnext\n");
    // Emptied in place: read again from its start.
    writeBytes("DrLog.txt", "fresh\n");
    follower.readNew(seen);
    EXPECT_EQ(narrow(seen), "half a line\nnext\nfresh\n");
}
