#pragma once
// Child programs of the tests and benchmarks: each started in its own process
// group with its output in files, waited for with a limit, stopped by group.
// POSIX only. Any thread may call these; a child is reaped by one caller only.

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace VarnixTest {

// Starts argv[0] (a path) in its own process group in `cwd`, with `env` added
// to the environment. Standard input reads /dev/null; standard output goes to
// the file `output` (created or emptied), standard error too unless `errors`
// names a file of its own. The child's id, or -1 when fork fails.
pid_t spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::string& output,
            const std::map<std::string, std::string>& env = {}, const std::string& errors = "");

// Waits at most `seconds` for `pid` to end, without reaping it, so that its
// /proc entry still tells what it used. True when it has ended.
bool waitUntilEnded(pid_t pid, double seconds);

// Waits at most `seconds` for `pid` to end and reaps it. Its exit status, or
// 128 + the signal that ended it; -1 when it still runs (then it is left
// alone). `ended`, when given, tells which.
int waitFor(pid_t pid, double seconds, bool* ended = nullptr);

// Kills the whole process group of `pid` and reaps `pid` (waiting at most 10 s).
void killGroup(pid_t pid);

// SIGTERM to `pid`, then SIGKILL to its group: after `graceSeconds` when it
// is still running, at once when it ended (anything it left behind). Reaps
// `pid`. True when it ended on SIGTERM within the grace time.
bool stop(pid_t pid, double graceSeconds);

struct ProcessResult {
    int exitCode = -1;  // as waitFor; -1 when it was killed for taking too long
    bool timedOut = false;
    std::string output;  // standard output and error together, or standard output alone
    std::string errors;  // standard error, when kept apart
};

// Runs a program to its end: at most `seconds`, then its group is killed.
// `apart`: standard error goes to `errors` instead of `output`.
ProcessResult runProgram(const std::vector<std::string>& argv, const std::string& cwd, double seconds,
                         bool apart = false, const std::map<std::string, std::string>& env = {});

}  // namespace VarnixTest
