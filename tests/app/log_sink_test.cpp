// The log sink of the real window: line format, order, batching, the file.
#include "app/WindowFixture.h"
#include "core/Exception.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

using namespace VarnixTest;

namespace {

long long now() { return static_cast<long long>(std::time(nullptr)); }

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

class LogSink : public WindowTest {};

TEST_F(LogSink, StartLineWaitsForTheFirstTickThenComesFirstWithLaterLinesInCallOrder) {
    long long before = now();
    // The file is open but nothing is written before the first tick.
    EXPECT_EQ(readFile(logPath), "");
    window->log(u"second line");
    window->log(u"third line");
    long long after = now();

    std::string text = waitForLogLines(3);
    std::regex line(std::string("(") + stampPattern + ")   (.*)");
    std::vector<std::string> lines = splitLines(text);
    ASSERT_EQ(lines.size(), 3u) << text;
    const char* expected[] = {"DR server started", "second line", "third line"};
    for (size_t i = 0; i < 3; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, line)) << lines[i];
        EXPECT_EQ(m[2].str(), expected[i]);
        long long at = stampToEpoch(m[1].str());
        EXPECT_GE(at, before - 1) << lines[i];  // the window was made just before `before`
        EXPECT_LE(at, after) << lines[i];
    }
}

TEST_F(LogSink, LineIsStampThreeSpacesTextAndOneLineFeed) {
    size_t start = waitForLogLines(1).size();
    window->log(u"Ready for new connection");
    std::string text = waitForLogLines(2).substr(start);
    EXPECT_TRUE(std::regex_match(text, std::regex(std::string(stampPattern) + "   Ready for new connection\n")))
        << text;
}

TEST_F(LogSink, EmbeddedLineFeedsGoInUnchangedAndEmptyTextGivesAnEmptyEntry) {
    size_t start = waitForLogLines(1).size();
    window->log(u"Closed loopback connection\n\n");
    window->log(u"");
    window->log(u"after");
    std::string text = waitForLogLines(6).substr(start);
    std::string stamp = stampPattern;
    EXPECT_TRUE(std::regex_match(
        text, std::regex(stamp + "   Closed loopback connection\n\n\n" + stamp + "   \n" + stamp + "   after\n")))
        << text;
}

TEST_F(LogSink, WindowShowsExactlyWhatTheFileReceives) {
    window->log(u"one");
    window->log(u"two\nthree");
    std::string text = waitForLogLines(4);
    pumpFor(50);
    EXPECT_EQ(logView()->GetValue().ToStdString(), readFile(logPath));
    EXPECT_EQ(withoutServiceLines(logView()->GetValue().ToStdString()), text);
}

TEST_F(LogSink, TickWithNothingPendingWritesNothing) {
    waitForLogLines(1);
    // The service's start-up lines come from its threads within a tick or two.
    pumpFor(1000);
    std::string text = readFile(logPath);
    pumpFor(1300);  // at least two ticks
    EXPECT_EQ(readFile(logPath), text);
    EXPECT_EQ(logView()->GetValue().ToStdString(), text);
}

TEST_F(LogSink, EightThreadsLoggingAtOnceLoseNoLineAndKeepTheirOwnOrder) {
    constexpr int threads = 8;
    constexpr int perThread = 3000;
    std::atomic<int> running{threads};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([this, t, &running] {
            for (int i = 0; i < perThread; ++i) {
                std::string line = "worker " + std::to_string(t) + " line " + std::to_string(i);
                std::u16string wide(line.begin(), line.end());
                window->log(wide.c_str());
            }
            --running;
        });
    }
    // The GUI thread keeps flushing while the workers log.
    pumpUntil([&] { return running == 0; }, 60000);
    for (auto& w : workers) w.join();

    std::string text = waitForLogLines(1 + threads * perThread, 10000);
    std::vector<std::string> lines = splitLines(text);
    ASSERT_EQ(lines.size(), static_cast<size_t>(1 + threads * perThread));
    std::vector<int> next(threads, 0);
    std::regex line(std::string(stampPattern) + "   worker (\\d) line (\\d+)");
    for (size_t i = 1; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, line)) << lines[i];
        int t = std::stoi(m[1].str());
        ASSERT_EQ(std::stoi(m[2].str()), next[t]) << "thread " << t << " out of order";
        ++next[t];
    }
    for (int t = 0; t < threads; ++t) EXPECT_EQ(next[t], perThread);
}

TEST_F(LogSink, LinesLoggedJustBeforeClosingReachTheFile) {
    waitForLogLines(1);
    window->log(u"last words");
    std::thread late([this] { window->log(u"from a worker"); });
    late.join();
    ASSERT_TRUE(closeAndWaitDestroyed());
    std::string text = readFile(logPath);
    EXPECT_NE(text.find("   last words\n"), std::string::npos) << text;
    EXPECT_NE(text.find("   from a worker\n"), std::string::npos) << text;
}

TEST_F(LogSink, EveryStartAppendsToTheExistingFile) {
    waitForLogLines(1);
    ASSERT_TRUE(closeAndWaitDestroyed());

    window = new DrWindow();
    windowRef = window;
    std::string text = waitForLogLines(3);
    std::vector<std::string> lines = splitLines(text);
    ASSERT_EQ(lines.size(), 3u) << text;
    EXPECT_NE(lines[0].find("   DR server started"), std::string::npos);
    EXPECT_NE(lines[1].find("   DR server stopped"), std::string::npos);
    EXPECT_NE(lines[2].find("   DR server started"), std::string::npos);
}

TEST_F(LogSink, StartUpReportNamesVersionDataFolderPortsAndReleases) {
    // The texts of the run's lines, in order, that the report is made of.
    auto reportOf = [&](const std::string& text) {
        std::vector<std::string> report;
        std::regex line(std::string(stampPattern) + "   (.*)");
        for (const std::string& l : splitLines(text)) {
            std::smatch m;
            if (!std::regex_match(l, m, line)) continue;
            std::string t = m[1].str();
            for (const char* start :
                 {"DR server ", "Cannot read the config", "Varnix DR node", "Data folder", "Ports:", "3dsmax releases"})
                if (t.rfind(start, 0) == 0) report.push_back(t);
        }
        return report;
    };
    std::string text;
    ASSERT_TRUE(
        pumpUntil([&] { return (text = readFile(logPath)).find("3dsmax releases") != std::string::npos; }, 5000));
    const std::string ports = "Ports: UDP 19666 (discovery), TCP 19668 (masters), TCP 19667 on 127.0.0.1 only (3dsmax)";
    EXPECT_EQ(reportOf(text), (std::vector<std::string>{
                                  "DR server started", "Cannot read the config file, default one will be created",
                                  "Varnix DR node version 6.1.0", "Data folder: " + dir + "/drData/", ports,
                                  "3dsmax releases configured: none (every job will be refused; see DrConfig.txt)"}));

    // Next start, with two releases configured, one without its last separator.
    ASSERT_TRUE(closeAndWaitDestroyed());
    shell("printf '2016 /opt/max 2016\\n2014 C:\\\\Max 2014\\\\\\n' > drData/DrConfig.txt");
    window = new DrWindow();
    windowRef = window;
    ASSERT_TRUE(pumpUntil(
        [&] {
            text = readFile(logPath);
            return reportOf(text).size() >= 12;
        },
        5000))
        << text;
    std::vector<std::string> report = reportOf(text);
    EXPECT_EQ(std::vector<std::string>(report.begin() + 6, report.end()),
              (std::vector<std::string>{"DR server stopped", "DR server started", "Varnix DR node version 6.1.0",
                                        "Data folder: " + dir + "/drData/", ports,
                                        "3dsmax releases configured: 2014 in C:\\Max 2014\\; 2016 in /opt/max 2016/"}))
        << text;
}

TEST_F(LogSink, CleanStopIsTheLastLine) {
    waitForLogLines(1);
    window->log(u"last words");
    ASSERT_TRUE(closeAndWaitDestroyed());
    std::vector<std::string> lines = splitLines(readFile(logPath));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[lines.size() - 2].find("   last words"), std::string::npos) << lines[lines.size() - 2];
    EXPECT_TRUE(std::regex_match(lines.back(), std::regex(std::string(stampPattern) + "   DR server stopped")))
        << lines.back();
}

TEST_F(LogSink, LinesReachTheFileInHalfSecondBatchesNotOneByOne) {
    waitForLogLines(1);
    pumpFor(600);  // the service's own start-up lines are out
    // A worker logs a line every 10 ms, as a busy job does.
    std::atomic<bool> stop{false};
    std::atomic<int> logged{0};
    std::thread worker([&] {
        while (!stop) {
            // Lines differ, as a job's do: repeats may be folded together.
            std::string line = "busy " + std::to_string(logged.load());
            window->log(std::u16string(line.begin(), line.end()).c_str());
            ++logged;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    using Clock = std::chrono::steady_clock;
    struct Batch {
        Clock::time_point seen;
        size_t lines;
    };
    std::vector<Batch> batches;
    size_t lastSize = readFile(logPath).size();
    bool wholeLines = true;
    // The flush runs on this thread, inside the pump: a change is seen right
    // after the tick that made it.
    pumpUntil(
        [&] {
            std::string text = readFile(logPath);
            if (text.size() != lastSize) {
                wholeLines = wholeLines && text.back() == '\n';
                batches.push_back(
                    {Clock::now(), static_cast<size_t>(std::count(text.begin() + lastSize, text.end(), '\n'))});
                lastSize = text.size();
            }
            return batches.size() >= 6;
        },
        30000);
    stop = true;
    worker.join();
    ASSERT_GE(batches.size(), 6u);
    EXPECT_TRUE(wholeLines) << "a write ended inside a line";
    std::vector<size_t> sizes;
    for (size_t i = 1; i < batches.size(); ++i) {
        auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(batches[i].seen - batches[i - 1].seen).count();
        // Never sooner than the period allows (a slow run only widens gaps).
        EXPECT_GE(gap, 300) << "batch " << i << " came " << gap << " ms after the one before";
        sizes.push_back(batches[i].lines);
    }
    // Each write carries what was logged during one period of about half a
    // second: the worker logs at most 50 lines in it, and a slow run only
    // makes it log fewer, so the upper bound holds however slow the run.
    std::sort(sizes.begin(), sizes.end());
    size_t median = sizes[sizes.size() / 2];
    EXPECT_GE(median, 3u) << "lines per write";
    EXPECT_LE(median, 150u) << "lines per write: the period is longer than half a second";
    // And nothing stays behind: the last line logged reaches the file.
    int total = logged;
    ASSERT_TRUE(pumpUntil(
        [&] {
            std::string text = readFile(logPath);
            size_t busy = 0;
            for (size_t at = text.find("   busy "); at != std::string::npos; at = text.find("   busy ", at + 1)) ++busy;
            return busy == static_cast<size_t>(total);
        },
        5000));
}

TEST_F(LogSink, UnopenableLogFileFailsConstructionWithTheFileError) {
    ASSERT_TRUE(closeAndWaitDestroyed());
    shell("rm -rf drData && mkdir -p drData/DrLog.txt");
    try {
        new DrWindow();
        FAIL() << "the window was made without its log file";
    } catch (const Varnix::Exception& e) {
        EXPECT_EQ(e.getCode(), 456);
        std::string what = e.what();
        EXPECT_EQ(what, "Cannot open/read/write file '" + dir + "/drData/DrLog.txt'");
    }
}

TEST_F(LogSink, LogFileThatIsASymbolicLinkIsNeverWrittenThroughAndSaysSo) {
    ASSERT_TRUE(closeAndWaitDestroyed());
    shell(
        "rm -rf drData && mkdir -p drData && printf 'keep\\n' > outside.txt && ln -s ../outside.txt drData/DrLog.txt");
    try {
        new DrWindow();
        FAIL() << "the window wrote its log through a link";
    } catch (const Varnix::Exception& e) {
        EXPECT_EQ(e.getCode(), 456);
        std::string what = e.what();
        EXPECT_EQ(what, "Cannot open/read/write file '" + dir +
                            "/drData/DrLog.txt': it is a symbolic link, and the node never writes through one");
    }
    EXPECT_EQ(readFile(dir + "/outside.txt"), "keep\n");
}

// ------------------------------------------------------------ floods

namespace {

int countLinesWith(const std::string& text, const std::string& piece) {
    int n = 0;
    for (const std::string& line : splitLines(text))
        if (line.find(piece) != std::string::npos) ++n;
    return n;
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

TEST_F(LogSink, VeryLongLineIsCutWithAMarkInTheWindowAndTheFile) {
    size_t start = waitForLogLines(1).size();
    std::u16string longText(100000, u'x');
    window->log(longText.c_str());
    std::string text = waitForLogLines(2).substr(start);
    std::string expected = std::string(4096, 'x') + " [line cut, 100,000 characters in all]\n";
    ASSERT_GE(text.size(), expected.size());
    EXPECT_EQ(text.substr(text.size() - expected.size()), expected);
    EXPECT_TRUE(std::regex_match(text.substr(0, 22), std::regex(std::string(stampPattern) + "   ")));
    pumpFor(50);
    EXPECT_NE(logView()->GetValue().ToStdString().find(expected), std::string::npos);
}

TEST_F(LogSink, OnlyRunsOfIdenticalLinesAreCountedAndEveryCountReachesTheFile) {
    waitForLogLines(1);
    // A repetition after a pause is written in full.
    window->log(u"Replying to discovery ping from master");
    pumpFor(1200);
    window->log(u"Replying to discovery ping from master");
    for (int i = 0; i < 10000; ++i) window->log(u"Got bogus master connection");
    // A job's lines recur, but never one right after itself.
    for (int i = 0; i < 5000; ++i) {
        window->log(u"Started EXR dump (1,000 bytes): dump.exr");
        window->log(u"Removed file: dump.exr");
    }
    for (int i = 0; i < 100; ++i) window->log(u"Ready for new connection");
    ASSERT_TRUE(closeAndWaitDestroyed());  // the last count is written on closing
    std::string text = readFile(logPath);
    EXPECT_EQ(exactLines(text, "Replying to discovery ping from master"), 2);
    EXPECT_EQ(exactLines(text, "Got bogus master connection"), Varnix::LogRepeats::keptPerRun);
    EXPECT_EQ(repeatedCount(text, "Got bogus master connection"), 10000 - Varnix::LogRepeats::keptPerRun);
    EXPECT_EQ(exactLines(text, "Started EXR dump (1,000 bytes): dump.exr"), 5000);
    EXPECT_EQ(exactLines(text, "Removed file: dump.exr"), 5000);
    EXPECT_EQ(exactLines(text, "Ready for new connection"), Varnix::LogRepeats::keptPerRun);
    EXPECT_EQ(repeatedCount(text, "Ready for new connection"), 100 - Varnix::LogRepeats::keptPerRun);
    EXPECT_EQ(countLinesWith(text, "last message repeated"), 2) << text.substr(0, 4000);
}

TEST_F(LogSink, WindowKeepsTheMostRecentLinesAndTheFileKeepsEveryLine) {
    waitForLogLines(1);
    const int total = DrWindow::maxViewLines + 2000;
    for (int i = 0; i < total; ++i) {
        std::string line = "job line " + std::to_string(i);
        window->log(std::u16string(line.begin(), line.end()).c_str());
        if (i % 5000 == 0) pumpFor(10);
    }
    std::string text = waitForLogLines(1 + total, 60000);
    ASSERT_EQ(countLinesWith(text, "   job line "), total);
    pumpUntil(
        [&] {
            return logView()->GetValue().ToStdString().find("   job line " + std::to_string(total - 1) + "\n") !=
                   std::string::npos;
        },
        10000);
    std::string view = logView()->GetValue().ToStdString();
    EXPECT_NE(view.find("   job line " + std::to_string(total - 1) + "\n"), std::string::npos);
    EXPECT_EQ(view.find("   job line 0\n"), std::string::npos);
    EXPECT_LE(logView()->GetNumberOfLines(), DrWindow::maxViewLines + 1);
    EXPECT_GE(logView()->GetNumberOfLines(), DrWindow::trimmedViewLines);
    // What the view keeps is the file's end, line for line.
    std::string fileText = readFile(logPath);
    EXPECT_EQ(fileText.substr(fileText.size() - view.size() + view.find('\n') + 1), view.substr(view.find('\n') + 1));
}
