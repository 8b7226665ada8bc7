// The log as the real window owns and shows it; the sink itself is tested
// without a window in tests/core.
#include "app/LogView.h"
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

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

class WindowLog : public WindowTest {};

TEST_F(WindowLog, WindowShowsExactlyWhatTheFileReceives) {
    window->log(u"one");
    window->log(u"two\nthree");
    std::string text = waitForLogLines(4);
    // The view follows at its own next tick.
    pumpUntil([&] { return logView()->GetValue().ToStdString() == readFile(logPath); }, 5000);
    EXPECT_EQ(logView()->GetValue().ToStdString(), readFile(logPath));
    EXPECT_EQ(withoutServiceLines(logView()->GetValue().ToStdString()), text);
}

TEST_F(WindowLog, LinesLoggedJustBeforeClosingReachTheFile) {
    waitForLogLines(1);
    window->log(u"last words");
    std::thread late([this] { window->log(u"from a worker"); });
    late.join();
    ASSERT_TRUE(closeAndWaitDestroyed());
    std::string text = readFile(logPath);
    EXPECT_NE(text.find("   last words\n"), std::string::npos) << text;
    EXPECT_NE(text.find("   from a worker\n"), std::string::npos) << text;
}

TEST_F(WindowLog, StartUpReportNamesVersionDataFolderPortsAndReleases) {
    // The texts of the run's lines, in order, that the report is made of.
    auto reportOf = [&](const std::string& text) {
        std::vector<std::string> report;
        std::regex line(std::string(stampPattern) + "   (.*)");
        for (const std::string& l : splitLines(text)) {
            std::smatch m;
            if (!std::regex_match(l, m, line)) continue;
            std::string t = m[1].str();
            for (const char* start : {"DR server ", "Cannot read the config", "Varnix DR node", "Mode:", "Data folder",
                                      "Ports:", "3dsmax releases"})
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
                                  "Varnix DR node version 6.1.0", "Mode: desktop, with the log window",
                                  "Data folder: " + dir + "/drData/", ports,
                                  "3dsmax releases configured: none (every job will be refused; see DrConfig.txt)"}));

    // Next start, with two releases configured, one without its last separator.
    ASSERT_TRUE(closeAndWaitDestroyed());
    shell("printf '2016 /opt/max 2016\\n2014 C:\\\\Max 2014\\\\\\n' > drData/DrConfig.txt");
    window = new DrWindow();
    windowRef = window;
    ASSERT_TRUE(pumpUntil(
        [&] {
            text = readFile(logPath);
            return reportOf(text).size() >= 14;
        },
        5000))
        << text;
    std::vector<std::string> report = reportOf(text);
    EXPECT_EQ(std::vector<std::string>(report.begin() + 7, report.end()),
              (std::vector<std::string>{"DR server stopped", "DR server started", "Varnix DR node version 6.1.0",
                                        "Mode: desktop, with the log window", "Data folder: " + dir + "/drData/", ports,
                                        "3dsmax releases configured: 2014 in C:\\Max 2014\\; 2016 in /opt/max 2016/"}))
        << text;
}

TEST_F(WindowLog, CleanStopIsTheLastLine) {
    waitForLogLines(1);
    window->log(u"last words");
    ASSERT_TRUE(closeAndWaitDestroyed());
    std::vector<std::string> lines = splitLines(readFile(logPath));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[lines.size() - 2].find("   last words"), std::string::npos) << lines[lines.size() - 2];
    EXPECT_TRUE(std::regex_match(lines.back(), std::regex(std::string(stampPattern) + "   DR server stopped")))
        << lines.back();
}

TEST_F(WindowLog, UnopenableLogFileFailsConstructionWithTheFileError) {
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

namespace {

int countLinesWith(const std::string& text, const std::string& piece) {
    int n = 0;
    for (const std::string& line : splitLines(text))
        if (line.find(piece) != std::string::npos) ++n;
    return n;
}

}  // namespace

TEST_F(WindowLog, LinesReachTheFileWhileTheWindowThreadIsBusy) {
    waitForLogLines(1);
    window->log(u"while the window waits");
    // No event is handled here, as while the window waits for a job to end.
    bool written = false;
    for (int i = 0; i < 200 && !written; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        written = readFile(logPath).find("   while the window waits\n") != std::string::npos;
    }
    EXPECT_TRUE(written);
}

TEST_F(WindowLog, WindowKeepsTheMostRecentLinesAndTheFileKeepsEveryLine) {
    waitForLogLines(1);
    const int total = LogView::maxViewLines + 2000;
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
    EXPECT_LE(logView()->GetNumberOfLines(), LogView::maxViewLines + 1);
    EXPECT_GE(logView()->GetNumberOfLines(), LogView::trimmedViewLines);
    // What the view keeps is the file's end, line for line.
    std::string fileText = readFile(logPath);
    EXPECT_EQ(fileText.substr(fileText.size() - view.size() + view.find('\n') + 1), view.substr(view.find('\n') + 1));
}
