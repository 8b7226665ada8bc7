#pragma once

#include <string>
#include <vector>
#include <sys/types.h>

namespace VarnixTest {

// The real node program, started as a child of the test in `workDir` with
// `arguments` after its name and its output in workDir/node-output.txt (with
// arguments, node-output<first argument>.txt, so that a companion beside a
// node keeps its own). Killed and reaped on destruction if
// it still runs, with anything it started in its process group.
class NodeProcess {
public:
    explicit NodeProcess(const std::string& workDir, const std::vector<std::string>& arguments = {});
    ~NodeProcess();
    NodeProcess(const NodeProcess&) = delete;
    NodeProcess& operator=(const NodeProcess&) = delete;

    pid_t pid() const { return child; }

    // Waits for the program to end; true when it did within `timeoutMs`.
    // `status` gets its exit code, or 128 + the signal that ended it.
    bool waitExit(int timeoutMs, int& status);

    bool running();

    void signal(int number);

    // The X id of its frame while visible, "" otherwise.
    std::string visibleFrame() const;

    // The X id of its icon in the notification area while visible, "".
    std::string visibleTrayIcon() const;

    // What the program wrote to standard output and error.
    std::string output() const;

private:
    std::string workDir;
    std::string outputPath;
    pid_t child = -1;
    bool reaped = false;
    int exitStatus = 0;
};

// Centre of an X window, "X Y" for xdotool; "" when it has none.
std::string windowCentre(const std::string& xid);

}  // namespace VarnixTest
