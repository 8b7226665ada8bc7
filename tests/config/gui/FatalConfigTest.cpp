// A default DrConfig.txt that cannot be created is fatal: the real message
// box is shown, dismissed here with xdotool, and the window is then closed.
#include "config/NodeConfigTestSupport.h"

#include <wx/app.h>
#include <wx/init.h>
#include <wx/modalhook.h>
#include <wx/msgdlg.h>

#include <atomic>
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

// Waits for the fatal box, presses Return in it and waits until it is gone.
// The script is written to `scriptPath`. If the box never appears or will
// not go, the test process ends rather than hang.
std::thread dismissFatalBox(const std::string& scriptPath)
{
    std::ofstream(scriptPath) << R"(title='^Fatal error: Cannot create default config file\.$'
for i in $(seq 1 200); do
  box=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n 1)
  if [ -n "$box" ]; then
    xdotool windowactivate --sync "$box" 2>/dev/null || xdotool windowfocus --sync "$box" 2>/dev/null
    xdotool key --clearmodifiers Return
    sleep 0.3
    xdotool search --onlyvisible --name "$title" >/dev/null 2>&1 || exit 0
  fi
  sleep 0.05
done
exit 1
)";
    return std::thread([scriptPath] {
        std::string command = "sh '" + scriptPath + "'";
        if (std::system(command.c_str()) != 0) {
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
        NodeConfigTest::SetUp();
    }
};

TEST_F(FatalConfigTest, UncreatableDefaultFileShowsTheErrorThenClosesTheWindow)
{
    useRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Autodesk\\3dsMax\\16.0]\n\"Installdir\"=\"C:\\\\Max 2014\"\n");
    std::string path = pathOf("missing/DrConfig.txt");  // its directory does not exist

    MessageBoxRecorder boxes;
    boxes.Register();
    ClosingWindow closingWindow(boxes);
    std::thread dismisser = dismissFatalBox(pathOf("dismiss.sh"));
    NodeSettings settings;
    loadNodeConfig(settings, Varnix::String(path.c_str()), &closingWindow);
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

}  // namespace
