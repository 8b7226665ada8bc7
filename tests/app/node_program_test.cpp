// The real node program on a private desktop, driven the way a person or a
// service manager drives it: window manager, tray clicks, signals.
#include "app/GuiTestSupport.h"
#include "app/NodeProcess.h"

#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>

using namespace VarnixTest;

class NodeProgram : public WorkingDirectoryTest {
protected:
    // Starts the node and waits for its frame; returns the frame's X id.
    std::string startNode() {
        node.reset(new NodeProcess(dir));
        std::string frame;
        waitUntil([&] { return !(frame = node->visibleFrame()).empty() || !node->running(); }, 10000);
        // The window manager has taken the frame over once it gave it the focus.
        if (!frame.empty())
            waitUntil([&] { return firstLine(shell("xdotool getactivewindow 2>/dev/null")) == frame; }, 5000);
        return frame;
    }

    bool logHolds(const std::string& text, int timeoutMs = 5000) {
        return waitUntil([&] { return readFile(logPath).find(text) != std::string::npos; }, timeoutMs);
    }

    // Minimises through the window manager; true once the frame is gone and
    // the icon is in the tray.
    bool minimiseToTray(const std::string& frame) {
        // A loaded window manager now and then drops a request that comes
        // right after start-up: ask again, as a person would click again.
        for (int attempt = 0; attempt < 4; ++attempt) {
            shell("xdotool windowminimize " + frame);
            if (waitUntil([&] { return node->visibleFrame().empty() && !node->visibleTrayIcon().empty(); }, 1500))
                return true;
        }
        return false;
    }

    // Opens the tray menu and picks the item `downs` arrow presses down.
    void chooseFromTrayMenu(int downs) {
        std::string centre = windowCentre(node->visibleTrayIcon());
        ASSERT_FALSE(centre.empty());
        shell("xdotool mousemove " + centre + " click 3");
        // The menu needs a moment to map and grab the keyboard.
        waitUntil([] { return false; }, 400);
        std::string keys;
        for (int i = 0; i < downs; ++i) keys += " Down";
        shell("xdotool key" + keys + " Return");
    }

    // Waits for the program to end, watching that its frame never comes back.
    // The limit only guards against a hang: a sanitized run may take its time.
    void expectCleanExitWithoutShowing(int timeoutMs = 30000) {
        bool shown = false;
        bool ended = waitUntil(
            [&] {
                if (!node->visibleFrame().empty()) shown = true;
                return !node->running();
            },
            timeoutMs);
        int status = -1;
        ASSERT_TRUE(ended) << "the node did not end";
        node->waitExit(0, status);
        EXPECT_EQ(status, 0) << node->output();
        EXPECT_FALSE(shown) << "the window came back while closing from the tray";
    }

    std::unique_ptr<NodeProcess> node;
};

TEST_F(NodeProgram, StartsShownInFrontWithFittedMinimumSizeAndNoTrayIcon) {
    std::string frame = startNode();
    ASSERT_FALSE(frame.empty()) << node->output();
    EXPECT_EQ(firstLine(shell("xdotool getactivewindow")), frame);
    EXPECT_TRUE(node->visibleTrayIcon().empty());

    std::string props = shell("xprop -id " + frame + " WM_NAME WM_NORMAL_HINTS _NET_WM_STATE");
    EXPECT_NE(props.find("WM_NAME(STRING) = \"Varnix Tarvo | Alpha v6.1\""), std::string::npos) << props;
    EXPECT_EQ(props.find("_NET_WM_STATE_HIDDEN"), std::string::npos) << props;
    std::smatch minimum;
    ASSERT_TRUE(std::regex_search(props, minimum, std::regex(R"(minimum size: (\d+) by (\d+))"))) << props;
    int minWidth = std::stoi(minimum[1].str()), minHeight = std::stoi(minimum[2].str());
    EXPECT_EQ(minWidth, 600);
    EXPECT_GT(minHeight, 400);  // the text area plus the label

    // The window manager keeps it from getting smaller than that.
    shell("xdotool windowsize " + frame + " 200 100");
    waitUntil([] { return false; }, 300);
    std::string info = shell("xwininfo -id " + frame);
    EXPECT_NE(info.find("Width: " + std::to_string(minWidth)), std::string::npos) << info;
    EXPECT_NE(info.find("Height: " + std::to_string(minHeight)), std::string::npos) << info;

    // A picture of the desktop for people to look at, kept in the build tree.
    ASSERT_TRUE(logHolds("   DR server started\n"));
    waitUntil([] { return false; }, 600);  // the start-up line reaches the view
    std::string shot = std::string(VARNIX_APP_TEST_OUTPUT_DIR) + "/screenshots/node-window.png";
    int status = -1;
    shell("mkdir -p \"$(dirname '" + shot + "')\" && import -window root '" + shot + "'", &status);
    EXPECT_EQ(status, 0);
    std::string size = shell("identify -format '%w %h' '" + shot + "'");
    EXPECT_EQ(size, "1280 1024");

    shell("wmctrl -i -c " + frame);
    int exitStatus = -1;
    ASSERT_TRUE(node->waitExit(10000, exitStatus));
    EXPECT_EQ(exitStatus, 0);
}

// The window draws plain widgets: no OpenGL driver is loaded for it. GTK
// would otherwise load one (on a desktop without graphics hardware, a
// software renderer with its compiler, about 50 MB resident) only to choose
// window visuals.
TEST_F(NodeProgram, RunsWithoutLoadingAnOpenGlDriver) {
    std::string frame = startNode();
    ASSERT_FALSE(frame.empty()) << node->output();
    std::string maps = readFile("/proc/" + std::to_string(node->pid()) + "/maps");
    ASSERT_FALSE(maps.empty());
    for (const char* library : {"/dri/", "libGLX", "libEGL", "libLLVM"})
        EXPECT_EQ(maps.find(library), std::string::npos) << library;
}

// A node waits most of its life. Its window thread, its log writer and its
// discovery replier then sleep until there is something to do: no timer of theirs ticks for nothing,
// so the CPU stays the renderer's. Wake-ups are counted, not timed: a slow
// machine can only make fewer.
TEST_F(NodeProgram, AQuietNodesWindowLogWriterAndDiscoverySleepUntilThereIsSomethingToDo) {
    std::string frame = startNode();
    ASSERT_FALSE(frame.empty()) << node->output();
    ASSERT_TRUE(logHolds("3dsmax releases"));
    std::string task = "/proc/" + std::to_string(node->pid()) + "/task/";
    auto wakeUps = [&](const std::string& name) {
        std::istringstream tids(shell("ls " + task));
        for (std::string tid; tids >> tid;) {
            if (firstLine(readFile(task + tid + "/comm")) != name) continue;
            std::smatch m;
            std::string status = readFile(task + tid + "/status");
            if (std::regex_search(status, m, std::regex(R"(\nvoluntary_ctxt_switches:\s*(\d+))")))
                return std::stol(m[1].str());
        }
        return -1L;
    };
    // The last start-up lines reach the file and the view.
    waitUntil([] { return false; }, 1500);
    long window = wakeUps("varnix-node"), writer = wakeUps("MY_LogWriter"), discovery = wakeUps("MY_DiscoveryRep");
    ASSERT_GE(window, 0);
    ASSERT_GE(writer, 0);
    ASSERT_GE(discovery, 0);
    waitUntil([] { return false; }, 3000);
    // A timer twice a second would be 6 in these 3 s, ten times a second 30.
    EXPECT_LE(wakeUps("varnix-node") - window, 4);
    EXPECT_LE(wakeUps("MY_LogWriter") - writer, 1);
    EXPECT_LE(wakeUps("MY_DiscoveryRep") - discovery, 1);
}

TEST_F(NodeProgram, LogIsAppendedAcrossRunsAndReadableWhileTheNodeRuns) {
    for (int run = 1; run <= 2; ++run) {
        std::string frame = startNode();
        ASSERT_FALSE(frame.empty()) << node->output();
        ASSERT_TRUE(waitUntil(
            [&] {
                std::string text = readFile(logPath);
                size_t count = 0;
                for (size_t at = text.find("   DR server started\n"); at != std::string::npos;
                     at = text.find("   DR server started\n", at + 1))
                    ++count;
                return count == static_cast<size_t>(run);
            },
            5000))
            << readFile(logPath);

        // Another process reads it while the node holds it open.
        int status = -1;
        std::string seen = shell("cat '" + logPath + "'", &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(seen, readFile(logPath));

        shell("wmctrl -i -c " + frame);
        int exitStatus = -1;
        ASSERT_TRUE(node->waitExit(10000, exitStatus));
        EXPECT_EQ(exitStatus, 0);
    }
    std::string text = withoutServiceLines(readFile(logPath));
    std::string stamp = stampPattern;
    EXPECT_TRUE(std::regex_match(
        text, std::regex("(" + stamp + "   DR server started\n" + stamp + "   DR server stopped\n){2}")))
        << text;
}

TEST_F(NodeProgram, MinimiseGoesToTheTrayAndALeftClickBringsTheWindowBack) {
    std::string frame = startNode();
    ASSERT_FALSE(frame.empty()) << node->output();
    ASSERT_TRUE(minimiseToTray(frame));
    std::string shot = std::string(VARNIX_APP_TEST_OUTPUT_DIR) + "/screenshots/node-in-tray.png";
    shell("mkdir -p \"$(dirname '" + shot + "')\" && import -window root '" + shot + "'");

    std::string centre = windowCentre(node->visibleTrayIcon());
    ASSERT_FALSE(centre.empty());
    shell("xdotool mousemove " + centre + " click 1");
    ASSERT_TRUE(waitUntil([&] { return !node->visibleFrame().empty() && node->visibleTrayIcon().empty(); }, 5000));
    waitUntil([] { return false; }, 300);  // and it stays so
    EXPECT_FALSE(node->visibleFrame().empty());
    EXPECT_TRUE(node->visibleTrayIcon().empty());
    std::string state = shell("xprop -id " + node->visibleFrame() + " _NET_WM_STATE");
    EXPECT_EQ(state.find("_NET_WM_STATE_HIDDEN"), std::string::npos) << state;
    EXPECT_EQ(firstLine(shell("xdotool getactivewindow")), node->visibleFrame());

    // The close box ends the program; it does not send it to the tray.
    shell("wmctrl -i -c " + node->visibleFrame());
    int status = -1;
    ASSERT_TRUE(node->waitExit(10000, status));
    EXPECT_EQ(status, 0);
}

TEST_F(NodeProgram, TrayMenuDisplayLogWindowBringsTheWindowBack) {
    std::string frame = startNode();
    ASSERT_FALSE(frame.empty()) << node->output();
    ASSERT_TRUE(minimiseToTray(frame));
    chooseFromTrayMenu(1);
    ASSERT_TRUE(waitUntil([&] { return !node->visibleFrame().empty() && node->visibleTrayIcon().empty(); }, 5000));
    EXPECT_TRUE(node->running());
}

TEST_F(NodeProgram, TrayMenuQuitEndsTheProgramWithoutShowingTheWindow) {
    std::string frame = startNode();
    ASSERT_FALSE(frame.empty()) << node->output();
    ASSERT_TRUE(logHolds("   DR server started\n"));
    ASSERT_TRUE(minimiseToTray(frame));
    chooseFromTrayMenu(2);
    expectCleanExitWithoutShowing();
    std::string stamp = stampPattern;
    EXPECT_TRUE(std::regex_match(withoutServiceLines(readFile(logPath)),
                                 std::regex(stamp + "   DR server started\n" + stamp + "   DR server stopped\n")));
}

TEST_F(NodeProgram, SigtermAndSighupEndTheProgramCleanly) {
    // SIGHUP: the terminal the node was started from was closed.
    for (int signal : {SIGTERM, SIGHUP}) {
        std::string frame = startNode();
        ASSERT_FALSE(frame.empty()) << node->output();
        ASSERT_TRUE(logHolds("   DR server started\n"));
        node->signal(signal);
        int status = -1;
        ASSERT_TRUE(node->waitExit(5000, status)) << signal;
        EXPECT_EQ(status, 0) << "ended by signal " << signal << " instead of closing: " << node->output();
        std::string text = readFile(logPath);
        EXPECT_TRUE(std::regex_search(text, std::regex("   DR server stopped\n$"))) << text;
    }
}

TEST_F(NodeProgram, SigintWhileInTheTrayEndsTheProgramWithoutShowingTheWindow) {
    std::string frame = startNode();
    ASSERT_FALSE(frame.empty()) << node->output();
    ASSERT_TRUE(minimiseToTray(frame));
    node->signal(SIGINT);
    expectCleanExitWithoutShowing();
}

TEST_F(NodeProgram, SigtermWhileInTheTrayEndsTheProgramWithoutShowingTheWindow) {
    std::string frame = startNode();
    ASSERT_FALSE(frame.empty()) << node->output();
    ASSERT_TRUE(minimiseToTray(frame));
    node->signal(SIGTERM);
    expectCleanExitWithoutShowing();
}

TEST_F(NodeProgram, UnopenableLogFileEndsStartUpWithoutShowingTheWindow) {
    shell("mkdir -p '" + dir + "/drData/DrLog.txt'");
    node.reset(new NodeProcess(dir));
    bool shown = false;
    ASSERT_TRUE(waitUntil(
        [&] {
            if (!node->visibleFrame().empty()) shown = true;
            return !node->running();
        },
        10000));
    int status = 0;
    node->waitExit(0, status);
    EXPECT_NE(status, 0);
    EXPECT_FALSE(shown);
    EXPECT_NE(node->output().find("Cannot open/read/write file '" + dir + "/drData/DrLog.txt'"), std::string::npos)
        << node->output();
}

// `--companion` beside a running node (the service's, at a user's logon):
// a title of its own (not the node's), no second-node box, nothing written to the node's log,
// and its close box ends it alone.
TEST_F(NodeProgram, CompanionBesideTheNodeWritesNothingAndClosingItLeavesTheNodeRunning) {
    ASSERT_FALSE(startNode().empty()) << node->output();
    ASSERT_TRUE(logHolds("   DR server started\n"));
    NodeProcess companion(dir, {"--companion"});
    std::string frame;
    ASSERT_TRUE(waitUntil([&] { return !(frame = companion.visibleFrame()).empty() || !companion.running(); }, 10000));
    ASSERT_FALSE(frame.empty()) << companion.output();
    std::string props = shell("xprop -id " + frame + " WM_NAME");
    EXPECT_NE(props.find("WM_NAME(STRING) = \"Varnix Tarvo | Alpha v6.1 (service companion)\""), std::string::npos)
        << props;

    shell("wmctrl -i -c " + frame);
    int status = -1;
    ASSERT_TRUE(companion.waitExit(10000, status));
    EXPECT_EQ(status, 0) << companion.output();
    EXPECT_TRUE(node->running());
    std::string log = readFile(logPath);
    EXPECT_EQ(log.find("DR server started"), log.rfind("DR server started")) << log;
    EXPECT_EQ(log.find("DR server stopped"), std::string::npos) << log;
}
