#pragma once
// Child processes of the benchmark: started in their own process group with
// output to a file, waited for with a limit, stopped by group. Linux only.

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

struct Spawned {
    pid_t pid = -1;
};

// Starts argv[0] (a path) in `cwd` with `env` added; stdin from /dev/null,
// stdout and stderr into `output`. `processor` >= 0 keeps it, and what it
// starts, on that processor. Exits the benchmark when fork fails.
pid_t spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::string& output,
            const std::map<std::string, std::string>& env = {}, int processor = -1);

// Keeps the calling thread on `processor` (< 0: on any); false when refused.
bool keepThreadOn(int processor);

// Waits for `pid` at most `seconds`. Its exit status, or -1 when it was still
// running (then it is left alone) or was killed by a signal. `cpu`, when
// given, gets its user + system seconds from /proc, read as it ended.
int waitFor(pid_t pid, double seconds, bool* ended = nullptr, double* cpu = nullptr);

// SIGTERM to the process, then SIGKILL to its group after `graceSeconds`.
// True when it ended on SIGTERM within the grace time.
bool stop(pid_t pid, double graceSeconds);

// Runs to the end (at most `seconds`, then the group is killed); exit status or -1.
int run(const std::vector<std::string>& argv, const std::string& cwd, const std::string& output, double seconds,
        const std::map<std::string, std::string>& env = {}, double* cpu = nullptr, int processor = -1);

// CPU time of a live process and all its threads, in seconds, from the
// scheduler's nanosecond counts; -1 when gone. Threads that have ended
// are not counted, so compare two readings of a process at rest.
double cpuSeconds(pid_t pid);
// CPU seconds of each live thread, keyed by "<tid> <name>".
std::map<std::string, double> threadCpuSeconds(pid_t pid);
// The same from user + system clock ticks (10 ms steps), threads that ended included.
double cpuTickSeconds(pid_t pid);

// A value in kB from /proc/<pid>/status ("VmHWM", "VmRSS"); -1 when gone.
long statusKb(pid_t pid, const char* key);

}  // namespace bench
