#pragma once
// Child processes of the benchmark: the tests' harness (tests/support), plus
// what the figures need of it: a processor for each side, and what a child
// used, from /proc. Linux only.

#include "support/Process.h"

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

using VarnixTest::stop;

// Starts argv[0] (a path) in its own process group in `cwd` with `env` added;
// stdin from /dev/null, stdout and stderr into `output`. `processor` >= 0
// keeps it, and what it starts, on that processor. Exits the benchmark when
// fork fails.
pid_t spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::string& output,
            const std::map<std::string, std::string>& env = {}, int processor = -1);

// Keeps the calling thread on `processor` (< 0: on any); false when refused.
bool keepThreadOn(int processor);

// Waits for `pid` at most `seconds`. Its exit status (128 + the signal that
// ended it), or -1 when it was still running (then it is left alone). `cpu`,
// when given, gets its user + system seconds from /proc, read as it ended.
int waitFor(pid_t pid, double seconds, bool* ended = nullptr, double* cpu = nullptr);

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
