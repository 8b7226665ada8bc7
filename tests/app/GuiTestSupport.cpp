#include "app/GuiTestSupport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/image.h>
#include <wx/init.h>

namespace VarnixTest {

namespace {

// The library, started on first use per test process, with an event loop
// that the tests drive themselves. The program's own DrApp is not used here
// because its OnInit opens the node window. Tests that only drive the node
// program never start it: a test process that holds an X connection without
// reading it must not sit beside the program under test.
class WxLibrary {
public:
    static void ensureStarted() { static WxLibrary library; }

private:
    WxLibrary() {
        static char name[] = "app_tests";
        static char* argv[] = {name, nullptr};
        int argc = 1;
        wxApp::SetInstance(new wxApp());
        if (!wxEntryStart(argc, argv)) {
            std::fprintf(stderr, "no X display: run under tests/support/desktop-session\n");
            std::abort();
        }
        wxImage::AddHandler(new wxPNGHandler);
        loop = new wxGUIEventLoop();
        wxEventLoopBase::SetActive(loop);
    }

    wxGUIEventLoop* loop = nullptr;
};

using Clock = std::chrono::steady_clock;

}  // namespace

const char* const stampPattern = R"(\d{4}/\d{2}/\d{2}-\d{2}:\d{2}:\d{2})";

void startGuiLibrary() { WxLibrary::ensureStarted(); }

bool pumpUntil(const std::function<bool()>& done, int timeoutMs) {
    startGuiLibrary();
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (wxEventLoopBase* loop = wxEventLoopBase::GetActive()) loop->YieldFor(wxEVT_CATEGORY_ALL);
        while (wxTheApp->ProcessIdle()) {
        }
        if (done()) return true;
        if (Clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void pumpFor(int ms) {
    pumpUntil([] { return false; }, ms);
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string withoutServiceLines(const std::string& logText) {
    static const char* const serviceTexts[] = {"   Cannot read the config file",
                                               "   Warning: no 3dsmax versions",
                                               "   Creating default DrConfig.txt",
                                               "   Starting UDP socket",
                                               "   Error in the config file",
                                               "   DrConfig.txt line ",
                                               "   Varnix DR node version ",
                                               "   Mode: ",
                                               "   Data folder: ",
                                               "   Ports: UDP ",
                                               "   3dsmax releases configured: ",
                                               "   3dsmax time limits: ",
                                               "   3dsmax idle and memory limits: ",
                                               "   Data disk: "};
    std::string kept;
    std::istringstream in(logText);
    for (std::string line; std::getline(in, line);) {
        bool service = false;
        for (const char* text : serviceTexts) service = service || line.find(text) != std::string::npos;
        if (!service) kept += line + "\n";
    }
    return kept;
}

std::string shell(const std::string& command, int* status) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        if (status) *status = -1;
        return output;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    int rc = pclose(pipe);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return output;
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

long long stampToEpoch(const std::string& stamp) {
    std::tm parts{};
    if (std::sscanf(stamp.c_str(), "%d/%d/%d-%d:%d:%d", &parts.tm_year, &parts.tm_mon, &parts.tm_mday, &parts.tm_hour,
                    &parts.tm_min, &parts.tm_sec) != 6)
        return -1;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    parts.tm_isdst = -1;
    return static_cast<long long>(std::mktime(&parts));
}

void WorkingDirectoryTest::SetUp() {
    TempDirectoryTest::SetUp();
    keepAfterFailure = true;
    dir = directory.string();
    logPath = dir + "/drData/DrLog.txt";
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    previousDir = cwd;
    ASSERT_EQ(chdir(dir.c_str()), 0);
}

void WorkingDirectoryTest::TearDown() {
    if (!previousDir.empty()) (void)chdir(previousDir.c_str());
    TempDirectoryTest::TearDown();
}

}  // namespace VarnixTest
