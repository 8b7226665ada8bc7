// A default DrConfig.txt that cannot be created is fatal: the real message
// box is shown, dismissed here with xdotool, and the window is then closed.
#include "config/NodeConfigTestSupport.h"

#include <wx/app.h>
#include <wx/init.h>
#include <wx/modalhook.h>
#include <wx/msgdlg.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

const char* const fatalCaption = "Fatal error: Cannot create default config file.";

// Notes what each message box says as it is shown and when it is gone.
class MessageBoxRecorder : public wxModalDialogHook {
public:
    std::string message, caption;
    long style = 0;
    int shown = 0, closed = 0;

protected:
    int Enter(wxDialog* dialog) override
    {
        if (auto* box = dynamic_cast<wxMessageDialogBase*>(dialog)) {
            message = box->GetMessage().utf8_string();
            caption = box->GetCaption().utf8_string();
            style = box->GetMessageDialogStyle();
        }
        ++shown;
        return wxID_NONE;  // show it for real
    }
    void Exit(wxDialog*) override { ++closed; }
};

class ClosingWindow : public ConfigTest::RecordingWindow {
public:
    explicit ClosingWindow(const MessageBoxRecorder& boxes) : boxes(boxes) {}
    void forceClose() override
    {
        boxesClosedBeforeClose = boxes.closed;
        RecordingWindow::forceClose();
    }
    const MessageBoxRecorder& boxes;
    int boxesClosedBeforeClose = -1;
};

bool startWx()
{
    static const bool started = [] {
        if (!std::getenv("DISPLAY"))
            return false;
        wxApp::SetInstance(new wxApp);
        static char name[] = "config_gui_tests";
        static char* argv[] = {name, nullptr};
        static int argc = 1;
        return wxEntryStart(argc, argv);
    }();
    return started;
}

// Presses Return in the fatal box whenever it is on screen, until
// `returned` is set. The xdotool steps are written to `scriptPath`. If the
// box cannot be dismissed within 20 s, the test process ends rather than hang.
std::thread dismissFatalBox(const std::string& scriptPath, const std::atomic<bool>& returned)
{
    std::ofstream(scriptPath) << R"(title='^Fatal error: Cannot create default config file\.$'
box=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n 1)
[ -n "$box" ] || exit 1
xdotool windowactivate --sync "$box" 2>/dev/null || xdotool windowfocus --sync "$box" 2>/dev/null
xdotool key --clearmodifiers Return
)";
    return std::thread([scriptPath, &returned] {
        using Clock = std::chrono::steady_clock;
        const std::string command = "sh '" + scriptPath + "'";
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (!returned && Clock::now() < deadline) {
            if (std::system(command.c_str()) == 0) {
                // The box closes on the GUI thread; give it time before retrying.
                for (int i = 0; i < 40 && !returned; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        if (!returned) {
            std::fprintf(stderr, "the message box \"%s\" did not appear or could not be dismissed\n", fatalCaption);
            std::_Exit(2);
        }
    });
}

class FatalConfigTest : public ConfigTest::NodeConfigTest {
protected:
    void SetUp() override
    {
        if (!startWx())
            GTEST_SKIP() << "needs an X display (run under tests/support/desktop-session)";
        ConfigTest::NodeConfigTest::SetUp();
    }
};

TEST_F(FatalConfigTest, UncreatableDefaultFileShowsTheErrorThenClosesTheWindow)
{
    std::string path = pathOf("missing/DrConfig.txt");  // its directory does not exist

    MessageBoxRecorder boxes;
    boxes.Register();
    ClosingWindow closingWindow(boxes);
    std::atomic<bool> returned{false};
    std::thread dismisser = dismissFatalBox(pathOf("dismiss.sh"), returned);
    NodeSettings settings;
    loadNodeConfig(settings, Varnix::String(path.c_str()), &closingWindow);
    returned = true;
    dismisser.join();
    boxes.Unregister();

    EXPECT_EQ(boxes.shown, 1);
    EXPECT_EQ(boxes.message, "Cannot open/read/write file '" + path + "'");
    EXPECT_EQ(boxes.caption, fatalCaption);
    EXPECT_EQ(boxes.style & (wxOK | wxCANCEL | wxYES_NO | wxCENTRE), wxOK | wxCENTRE);
    EXPECT_EQ(closingWindow.lines, std::vector<std::string>{ConfigTest::cannotReadLine});
    EXPECT_EQ(closingWindow.closeRequests, 1);
    EXPECT_EQ(closingWindow.boxesClosedBeforeClose, 1) << "the window closes only after the box is dismissed";
    for (const HostInstall& entry : settings.hostInstalls)
        EXPECT_EQ(entry.length(), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
}

// A dangling link in place of DrConfig.txt: the default file is never
// created through it, wherever it points.
TEST_F(FatalConfigTest, DefaultFileIsNeverCreatedThroughADanglingLink)
{
    std::string path = pathOf("DrConfig.txt");
    std::string target = pathOf("elsewhere.txt");
    std::filesystem::create_symlink(target, path);

    MessageBoxRecorder boxes;
    boxes.Register();
    ClosingWindow closingWindow(boxes);
    std::atomic<bool> returned{false};
    std::thread dismisser = dismissFatalBox(pathOf("dismiss.sh"), returned);
    NodeSettings settings;
    loadNodeConfig(settings, Varnix::String(path.c_str()), &closingWindow);
    returned = true;
    dismisser.join();
    boxes.Unregister();

    EXPECT_EQ(boxes.shown, 1);
    EXPECT_EQ(boxes.message,
              "Cannot open/read/write file '" + path + "': it is a symbolic link, and the node never writes through one");
    EXPECT_EQ(closingWindow.closeRequests, 1);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_TRUE(std::filesystem::is_symlink(path));
}

}  // namespace
