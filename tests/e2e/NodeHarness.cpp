#include "NodeHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace e2e {

using VarnixTest::killGroup;
using VarnixTest::spawn;
using VarnixTest::waitFor;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string binDir() { return VARNIX_BIN_DIR; }

// The node's window (or any of its windows titled `title`), found by the
// process id that GTK puts on it.
std::string findWindow(pid_t pid, const std::string& titleRegex) {
    ProcessResult r =
        runProgram({"/usr/bin/xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid), "--name", titleRegex},
                   fs::current_path(), 5);
    std::istringstream in(r.output);
    std::string id;
    in >> id;
    return r.exitCode == 0 ? id : std::string();
}

}  // namespace

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    try {
        return std::string(std::istreambuf_iterator<char>(in), {});
    } catch (const std::ios_base::failure&) {
        // libstdc++ throws on a failed read: a /proc entry of a process that
        // ended while it was read (ESRCH). Gone is as good as empty here.
        return {};
    }
}

void writeFile(const fs::path& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

std::vector<std::string> contentsIn(const fs::path& dir) {
    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator(dir)) paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    std::vector<std::string> contents;
    for (const auto& p : paths) contents.push_back(readFile(p));
    return contents;
}

std::vector<std::string> parseLog(const std::string& logText) {
    // Each entry starts with "YYYY/MM/DD-HH:MM:SS   "; continuation lines
    // of a multi-line text do not.
    std::vector<std::string> lines;
    std::istringstream in(logText);
    std::string line;
    auto stamped = [](const std::string& l) {
        return l.size() >= 22 && l[4] == '/' && l[7] == '/' && l[10] == '-' && l[13] == ':' && l[16] == ':' &&
               l.compare(19, 3, "   ") == 0;
    };
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (stamped(line))
            lines.push_back(line.substr(22));
        else if (!lines.empty())
            lines.back() += "\n" + line;
    }
    return lines;
}

void NodeTest::SetUp() {
    VarnixTest::TempDirectoryTest::SetUp();
    root = directory;
    work = root / workName;
    data = work / "drData";
    out = root / "out";
    fs::create_directories(data);
    fs::create_directories(out);
    fs::create_directories(root / "max");
    writeRegistry("");
    scene = makeScene("scene.max", 100000);
}

void NodeTest::watchDumps() {
    // The stand-in keeps the copies itself, before the node can see a dump:
    // a watcher from outside loses the race against a node that relays and
    // deletes each dump the moment it is finished.
    keepingDumps = true;
    fs::create_directories(root / "written");
    for (const auto& entry : fs::directory_iterator(root / "max")) {
        fs::path behaviour = entry.path() / "maxstub-behaviour.txt";
        if (fs::exists(behaviour)) writeFile(behaviour, readFile(behaviour) + keepDumpsLine());
    }
}

std::string NodeTest::keepDumpsLine() const { return "\nkeep_dumps_in = " + (root / "written").string() + "\n"; }

std::vector<std::string> NodeTest::writtenDumps(int frame) {
    std::vector<fs::path> paths;
    std::string mark = "-frame" + std::to_string(frame) + "-";
    for (const auto& entry : fs::directory_iterator(root / "written"))
        if (entry.path().extension() == ".exr" &&
            (frame < 0 || entry.path().filename().string().find(mark) != std::string::npos))
            paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    std::vector<std::string> contents;
    for (const auto& path : paths) contents.push_back(readFile(path));
    return contents;
}

void NodeTest::TearDown() {
    // The whole group: the node and any renderer it started, which must not
    // outlive the test and reach the next test's node.
    if (nodeGroup > 0) kill(-nodeGroup, SIGKILL);
    for (pid_t group : killedGroups) kill(-group, SIGKILL);
    if (nodePid > 0) waitFor(nodePid, 10);
    if (HasFailure()) {
        std::fprintf(stderr, "--- DrLog.txt of the failed test (%s):\n%s\n--- node output:\n%s\n", root.c_str(),
                     readFile(data / "DrLog.txt").c_str(), readFile(root / "node.out").c_str());
    }
    VarnixTest::TempDirectoryTest::TearDown();
}

std::string NodeTest::installStub(const std::string& name, const std::string& behaviour) {
    fs::path dir = root / "max" / name;
    fs::create_directories(dir);
    fs::copy_file(binDir() + "/maxstub/3dsmaxcmd.exe", dir / "3dsmaxcmd.exe", fs::copy_options::overwrite_existing);
    writeFile(dir / "maxstub-behaviour.txt", keepingDumps ? behaviour + keepDumpsLine() : behaviour);
    return dir.string() + "/";
}

std::string NodeTest::stubRecord(const std::string& name) {
    return readFile(root / "max" / name / "maxstub-record.txt");
}

void NodeTest::writeConfig(const std::string& text) { writeFile(data / "DrConfig.txt", text); }

void NodeTest::writeRegistry(const std::string& body) {
    writeFile(root / "registry.reg", "Windows Registry Editor Version 5.00\n\n" + body);
}

void NodeTest::setDevelopmentMode(bool on) {
    writeRegistry(on ? "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnix]\n\"developmentVer\"=dword:56524e58\n" : "");
}

void NodeTest::startNode(bool waitUntilRunning) {
    // A node started again in the same folder appends to the same log.
    std::vector<std::string> earlier = logLines();
    int starts = int(std::count(earlier.begin(), earlier.end(), std::string("DR server started")));
    std::map<std::string, std::string> environment{{"VARNIX_REGISTRY", (root / "registry.reg").string()},
                                                   {"NO_AT_BRIDGE", "1"}};
    if (!display.empty()) environment["DISPLAY"] = display;
    environment.insert(nodeEnvironment.begin(), nodeEnvironment.end());
    std::vector<std::string> program{binDir() + "/varnix-node"};
    program.insert(program.end(), nodeOptions.begin(), nodeOptions.end());
    nodePid = spawn(program, work, root / "node.out", environment);
    ASSERT_GT(nodePid, 0);
    nodeGroup = nodePid;
    // The first flush of the log means the service is up: its sockets are
    // bound before the window opens the log file.
    if (waitUntilRunning) {
        ASSERT_TRUE(waitForLogCount("DR server started", starts + 1)) << readFile(root / "node.out");
    }
}

bool NodeTest::nodeRunning() {
    if (nodePid <= 0) return false;
    int status = 0;
    if (waitpid(nodePid, &status, WNOHANG) == nodePid) {
        nodePid = -1;
        return false;
    }
    return true;
}

bool NodeTest::waitForLogCount(const std::string& text, int count, double seconds) {
    auto start = Clock::now();
    for (;;) {
        // A flood's repeat count stands for that many lines.
        long long found = 0;
        static const std::string repeated = "last message repeated ";
        static const std::string heldBack = "Closed ";
        for (const auto& line : logLines()) {
            auto number = [&line](std::size_t from, std::size_t to) {
                std::string digits;
                for (char c : line.substr(from, to - from))
                    if (c >= '0' && c <= '9') digits += c;
                return digits.empty() ? 0 : std::stoll(digits);
            };
            if (line.rfind(repeated, 0) == 0) {
                std::size_t colon = line.find(": ");
                if (colon != std::string::npos && line.find(text, colon) != std::string::npos)
                    found += number(repeated.size(), colon);
            } else if (line.rfind(heldBack, 0) == 0 && text == "Got bogus master connection") {
                found += number(heldBack.size(), line.find(" more bogus master connections"));
            } else if (line.find(text) != std::string::npos) {
                ++found;
            }
        }
        if (found >= count) return true;
        if (secondsSince(start) > seconds) return false;
        pause(50);
    }
}

bool NodeTest::waitForLog(const std::string& text, double seconds) { return waitForLogCount(text, 1, seconds); }

std::vector<std::string> NodeTest::logLines() { return parseLog(readFile(data / "DrLog.txt")); }

bool NodeTest::closeNodeWindow(double seconds, double* elapsed) {
    std::string id = findWindow(nodePid, "^Varnix Tarvo");
    if (id.empty()) return false;
    auto start = Clock::now();
    runProgram({"/usr/bin/wmctrl", "-i", "-c", id}, root, 5);
    bool ended = false;
    int code = waitFor(nodePid, seconds, &ended);
    if (elapsed) *elapsed = secondsSince(start);
    if (!ended) return false;
    nodePid = -1;
    return code == 0;
}

bool NodeTest::signalNode(int signal, double seconds) {
    if (nodePid <= 0) return false;
    kill(nodePid, signal);
    bool ended = false;
    int code = waitFor(nodePid, seconds, &ended);
    if (!ended) return false;
    nodePid = -1;
    return code == 0;
}

void NodeTest::killNodeAlone() {
    if (nodePid <= 0) return;
    kill(nodePid, SIGKILL);
    waitFor(nodePid, 10);
    nodePid = -1;
    killedGroups.push_back(nodeGroup);
    nodeGroup = -1;
}

std::string NodeTest::waitForMessageBox(const std::string& title, double seconds) {
    auto start = Clock::now();
    while (secondsSince(start) < seconds) {
        std::string id = findWindow(nodePid, "^" + title + "$");
        if (!id.empty()) return id;
        pause(50);
    }
    return "";
}

bool NodeTest::dismissMessageBox(const std::string& title, double seconds) {
    std::string id = waitForMessageBox(title, seconds);
    if (id.empty()) return false;
    runProgram({"/usr/bin/xdotool", "windowactivate", "--sync", id}, root, 5);
    runProgram({"/usr/bin/xdotool", "key", "--clearmodifiers", "Return"}, root, 5);
    return true;
}

ProcessResult NodeTest::master(const std::vector<std::string>& args, double timeoutSeconds, bool apart) {
    std::vector<std::string> argv{binDir() + "/drmaster"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, root, timeoutSeconds, apart);
}

ProcessResult NodeTest::render(const std::string& version, const std::string& frame,
                               const std::vector<std::string>& extra, double timeoutSeconds) {
    std::vector<std::string> args{"render", "--node",  "127.0.0.1",    "--version", version,     "--frame",
                                  frame,    "--scene", scene.string(), "--out",     out.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return master(args, timeoutSeconds);
}

pid_t NodeTest::startMaster(const std::vector<std::string>& args, const fs::path& output) {
    std::vector<std::string> argv{binDir() + "/drmaster"};
    argv.insert(argv.end(), args.begin(), args.end());
    return spawn(argv, root, output);
}

int NodeTest::finishMaster(pid_t pid, double seconds) {
    bool ended = false;
    int code = waitFor(pid, seconds, &ended);
    if (!ended) killGroup(pid);
    return code;
}

fs::path NodeTest::makeScene(const std::string& name, std::size_t size) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = char((i * 131 + 7) % 251);
    fs::path path = root / name;
    writeFile(path, content);
    return path;
}

}  // namespace e2e
