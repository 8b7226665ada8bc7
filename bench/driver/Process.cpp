#include "Process.h"

#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace bench {

pid_t spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::string& output,
            const std::map<std::string, std::string>& env, int processor) {
    // A child starts on the processors of the thread that forks it.
    cpu_set_t before;
    bool pinned = processor >= 0 && sched_getaffinity(0, sizeof before, &before) == 0 && keepThreadOn(processor);
    pid_t pid = VarnixTest::spawn(argv, cwd, output, env);
    if (pinned) sched_setaffinity(0, sizeof before, &before);
    if (pid < 0) {
        std::perror("fork");
        std::exit(1);
    }
    return pid;
}

bool keepThreadOn(int processor) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (processor < 0) {
        for (long k = 0; k < sysconf(_SC_NPROCESSORS_ONLN) && k < CPU_SETSIZE; ++k) CPU_SET(k, &set);
    } else {
        CPU_SET(processor, &set);
    }
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

int waitFor(pid_t pid, double seconds, bool* ended, double* cpu) {
    // Ended but not yet reaped: its /proc entry still holds its times.
    if (cpu && VarnixTest::waitUntilEnded(pid, seconds)) *cpu = cpuTickSeconds(pid);
    return VarnixTest::waitFor(pid, cpu ? 0 : seconds, ended);
}

int run(const std::vector<std::string>& argv, const std::string& cwd, const std::string& output, double seconds,
        const std::map<std::string, std::string>& env, double* cpu, int processor) {
    pid_t pid = spawn(argv, cwd, output, env, processor);
    bool ended = false;
    int code = waitFor(pid, seconds, &ended, cpu);
    if (!ended) {
        VarnixTest::killGroup(pid);
        return -1;
    }
    return code;
}

double cpuSeconds(pid_t pid) {
    // Nanoseconds on a CPU, summed over the threads (scheduler statistics);
    // the tick counts of /proc/<pid>/stat are too coarse for an idle process.
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = opendir(tasks.c_str())) {
        double total = 0;
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
            unsigned long long ns = 0;
            if (stat >> ns) total += ns / 1e9;
        }
        closedir(dir);
        return total;
    }
    return -1;
}

std::map<std::string, double> threadCpuSeconds(pid_t pid) {
    std::map<std::string, double> result;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = opendir(tasks.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::string task = tasks + "/" + entry->d_name;
            std::ifstream stat(task + "/schedstat"), comm(task + "/comm");
            unsigned long long ns = 0;
            std::string name;
            std::getline(comm, name);
            if (stat >> ns) result[std::string(entry->d_name) + " " + name] = ns / 1e9;
        }
        closedir(dir);
    }
    return result;
}

double cpuTickSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    unsigned long long utime = 0, stime = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) utime = std::stoull(field);
        if (number == 15) stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

long statusKb(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    std::string prefix = std::string(key) + ":";
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0) return std::atol(line.c_str() + prefix.size());
    return -1;
}

}  // namespace bench
