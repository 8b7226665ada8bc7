#include "app/NodeProcess.h"

#include "app/GuiTestSupport.h"
#include "support/Process.h"

#include <csignal>
#include <sstream>

namespace VarnixTest {

NodeProcess::NodeProcess(const std::string& workDir, const std::vector<std::string>& arguments)
    : workDir(workDir), outputPath(workDir + "/node-output" + (arguments.empty() ? "" : arguments[0]) + ".txt") {
    std::vector<std::string> argv{std::string(VARNIX_BIN_DIR) + "/varnix-node"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    child = spawn(argv, workDir, outputPath);
}

NodeProcess::~NodeProcess() {
    if (child > 0 && !reaped) killGroup(child);
}

bool NodeProcess::running() {
    if (child <= 0 || reaped) return false;
    bool ended = false;
    int status = waitFor(child, 0, &ended);
    if (!ended) return true;
    reaped = true;
    exitStatus = status;
    return false;
}

bool NodeProcess::waitExit(int timeoutMs, int& status) {
    bool ended = waitUntil([&] { return !running(); }, timeoutMs);
    status = exitStatus;
    return ended;
}

void NodeProcess::signal(int number) {
    if (child > 0 && !reaped) kill(child, number);
}

std::string NodeProcess::visibleFrame() const {
    return firstLine(shell("xdotool search --all --onlyvisible --pid " + std::to_string(child) +
                           " --name '^Varnix Tarvo \\| Alpha v6\\.1( \\(service companion\\))?$' 2>/dev/null"));
}

std::string NodeProcess::visibleTrayIcon() const {
    // The icon is a small window of the program's class inside the tray host;
    // the frame and any tooltip are wider than the icon can be.
    std::string frame = visibleFrame();
    std::istringstream ids(shell("xdotool search --all --onlyvisible --pid " + std::to_string(child) +
                                 " --classname '^varnix-node$' 2>/dev/null"));
    for (std::string id; std::getline(ids, id);) {
        if (id.empty() || id == frame) continue;
        std::string geometry = shell("xdotool getwindowgeometry --shell " + id + " 2>/dev/null");
        size_t at = geometry.find("WIDTH=");
        if (at == std::string::npos) continue;
        int width = std::stoi(geometry.substr(at + 6));
        if (width > 0 && width <= 64) return id;
    }
    return "";
}

std::string NodeProcess::output() const { return readFile(outputPath); }

std::string windowCentre(const std::string& xid) {
    std::string geometry = shell("xdotool getwindowgeometry --shell " + xid + " 2>/dev/null");
    int x = 0, y = 0, w = 0, h = 0;
    std::istringstream in(geometry);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("X=", 0) == 0) x = std::stoi(line.substr(2));
        if (line.rfind("Y=", 0) == 0) y = std::stoi(line.substr(2));
        if (line.rfind("WIDTH=", 0) == 0) w = std::stoi(line.substr(6));
        if (line.rfind("HEIGHT=", 0) == 0) h = std::stoi(line.substr(7));
    }
    if (w == 0 || h == 0) return "";
    return std::to_string(x + w / 2) + " " + std::to_string(y + h / 2);
}

}  // namespace VarnixTest
