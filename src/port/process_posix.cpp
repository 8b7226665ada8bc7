#include "port/process.h"

#include "port/clock.h"
#include "port/path.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

extern char** environ;

namespace Varnix::Port {

namespace {

struct ProcessEntry {
    pid_t pid;
    pid_t parent;
    bool dead;  // a zombie: ended, waiting for its parent to reap it
};

// Every process the system lists, with its parent.
std::vector<ProcessEntry> processTable() {
    std::vector<ProcessEntry> table;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return table;
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0) continue;
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        FILE* file = std::fopen(path, "r");
        if (file == nullptr) continue;
        char line[1024];
        size_t got = std::fread(line, 1, sizeof line - 1, file);
        std::fclose(file);
        line[got] = '\0';
        // The name in parentheses may hold anything, also ") ".
        const char* close = std::strrchr(line, ')');
        char state = 0;
        long parent = 0;
        if (close == nullptr || std::sscanf(close + 1, " %c %ld", &state, &parent) != 2) continue;
        table.push_back({pid_t(pid), pid_t(parent), state == 'Z' || state == 'X'});
    }
    ::closedir(proc);
    return table;
}

// The processes descended from this one. As their subreaper this process
// gets back every one whose parent ends, also those that left their
// process group or session, so none is lost from this tree.
std::vector<ProcessEntry> descendants() {
    std::vector<ProcessEntry> table = processTable();
    std::multimap<pid_t, const ProcessEntry*> children;
    for (const ProcessEntry& entry : table) children.emplace(entry.parent, &entry);
    std::vector<ProcessEntry> found;
    std::vector<pid_t> pending{::getpid()};
    while (!pending.empty()) {
        pid_t parent = pending.back();
        pending.pop_back();
        auto range = children.equal_range(parent);
        for (auto it = range.first; it != range.second; ++it) {
            found.push_back(*it->second);
            pending.push_back(it->second->pid);
        }
    }
    return found;
}

void becomeSubreaper() {
    static std::once_flag once;
    std::call_once(once, [] { ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); });
}

// A descriptor that becomes readable when the process `pid` ends; fd < 0
// where the kernel has none (before Linux 5.3) or pid < 0.
struct ExitDescriptor {
    explicit ExitDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
        if (pid > 0) fd = int(::syscall(SYS_pidfd_open, pid, 0));
#else
        (void)pid;
#endif
    }
    ~ExitDescriptor() {
        if (fd >= 0) ::close(fd);
    }
    ExitDescriptor(const ExitDescriptor&) = delete;
    ExitDescriptor& operator=(const ExitDescriptor&) = delete;
    int fd = -1;
};

}  // namespace

struct ChildProcess::System {
    pid_t pid = -1;
    // Guards `reaped`: once the interpreter is reaped its number may belong
    // to another process, which endTree must not signal.
    std::mutex lock;
    bool reaped = false;
};

ChildProcess::ChildProcess(std::unique_ptr<System> system) : system(std::move(system)) {}

std::unique_ptr<ChildProcess> ChildProcess::start(const char16_t* command, std::string& why) {
    becomeSubreaper();
    // Not system(): it ignores SIGINT and SIGQUIT in the whole process while
    // the command runs, so Ctrl-C could not stop the node during a render.
    // The child gets what system() gives it: the default action for both
    // signals and no blocked signals.
    posix_spawnattr_t attributes;
    if (int failed = posix_spawnattr_init(&attributes); failed != 0) {
        why = std::strerror(failed);
        return nullptr;
    }
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    char shell[] = "/bin/sh";
    char option[] = "-c";
    std::string narrowCommand = narrowPath(command);
    char* arguments[] = {shell, option, &narrowCommand[0], nullptr};
    auto system = std::make_unique<System>();
    int spawned = posix_spawn(&system->pid, shell, nullptr, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        why = std::strerror(spawned);
        return nullptr;
    }
    return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(system)));
}

ChildProcess::~ChildProcess() {
    endTree();
    if (!system->reaped) wait(-1);
    // What ended with the interpreter came back to us only now: reap it.
    endTree();
}

bool ChildProcess::wait(int milliseconds) {
    if (system->reaped) return true;
    struct timespec pause = {0, 10 * 1000 * 1000};
    const long long deadline = elapsedMilliseconds() + milliseconds;
    // Woken by the exit itself where the kernel offers a descriptor for it;
    // else in 10 ms steps.
    ExitDescriptor exited(milliseconds < 0 ? -1 : system->pid);
    for (;;) {
        int result = 0;
        pid_t got = ::waitpid(system->pid, &result, milliseconds < 0 ? 0 : WNOHANG);
        if (got == system->pid) {
            status = WIFEXITED(result) ? WEXITSTATUS(result) : 128 + WTERMSIG(result);
            std::lock_guard<std::mutex> guard(system->lock);
            system->reaped = true;
            return true;
        }
        if (got < 0 && errno != EINTR) {
            // Not our child any more (reaped elsewhere): nothing to wait for.
            std::lock_guard<std::mutex> guard(system->lock);
            system->reaped = true;
            return true;
        }
        if (got == 0) {
            long long left = deadline - elapsedMilliseconds();
            if (left <= 0) return false;
            if (exited.fd < 0) {
                ::nanosleep(&pause, nullptr);
            } else {
                pollfd one = {exited.fd, POLLIN, 0};
                ::poll(&one, 1, int(left));
            }
        }
    }
}

int ChildProcess::endTree() {
    std::lock_guard<std::mutex> guard(system->lock);
    // This process starts no other children while a renderer runs, so its
    // descendants are the tree. Killed processes cannot fork; those forked
    // before their parent was killed come back to us and are found in the
    // next round.
    std::set<pid_t> ended;
    struct timespec pause = {0, 5 * 1000 * 1000};
    for (int round = 0; round < 400; ++round) {
        bool alive = false;
        for (const ProcessEntry& entry : descendants()) {
            if (entry.dead) {
                // Ours to reap, except the interpreter, whose status wait() takes.
                if (entry.parent == ::getpid() && entry.pid != system->pid) ::waitpid(entry.pid, nullptr, WNOHANG);
                continue;
            }
            if (entry.pid == system->pid && system->reaped) continue;
            alive = true;
            if (::kill(entry.pid, SIGKILL) == 0) ended.insert(entry.pid);
        }
        if (!alive) break;
        ::nanosleep(&pause, nullptr);
    }
    return int(ended.size());
}

}  // namespace Varnix::Port
