#include "port/process.h"

#include "port/clock.h"
#include "port/path.h"
#include "port/socket.h"

#include <arpa/inet.h>
#include <limits.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
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

// This run of the node: its process id and the moment it made its first
// job, so that no later run, whatever process id it gets, makes the same.
const std::string& runId() {
    static const std::string id = [] {
        struct timespec now = {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        return std::to_string(::getpid()) + "-" + std::to_string(now.tv_sec) + "." + std::to_string(now.tv_nsec);
    }();
    return id;
}

std::atomic<unsigned> jobsMade{0};

// The environment a job's interpreter starts with: the node's own, its
// own mark (if it had one) replaced by the job's.
std::vector<std::string> markedEnvironment(const std::string& mark) {
    std::vector<std::string> variables;
    const std::string prefix = std::string(jobMarkVariable) + "=";
    for (char** variable = environ; *variable != nullptr; ++variable)
        if (std::strncmp(*variable, prefix.c_str(), prefix.size()) != 0) variables.emplace_back(*variable);
    variables.push_back(prefix + mark);
    return variables;
}

// The job and the folder `pid` is marked with; false when it carries no
// mark (or is gone, or a zombie, whose environment is empty).
bool markOf(pid_t pid, std::string& job, std::string& folder) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    if (!in) return false;
    std::string environment((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string prefix = std::string(jobMarkVariable) + "=";
    for (std::size_t at = 0; at < environment.size();) {
        std::size_t end = environment.find('\0', at);
        if (end == std::string::npos) end = environment.size();
        if (environment.compare(at, prefix.size(), prefix) == 0) {
            std::string mark = environment.substr(at + prefix.size(), end - at - prefix.size());
            std::size_t space = mark.find(' ');
            if (space == std::string::npos) return false;
            job = mark.substr(0, space);
            folder = mark.substr(space + 1);
            return true;
        }
        at = end + 1;
    }
    return false;
}

// What a job's mark names its folder by: its device and inode, the same
// however the folder is spelled; its text when it cannot be read.
std::string folderIdentity(const std::string& folder) {
    struct stat info = {};
    if (::stat(folder.c_str(), &info) != 0) return folder;
    return std::to_string(std::uint64_t(info.st_dev)) + ":" + std::to_string(std::uint64_t(info.st_ino));
}

// The target of the link `path` (a /proc entry); empty when unreadable.
std::string linkTarget(const std::string& path) {
    char target[PATH_MAX];
    ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, std::size_t(length)) : std::string();
}

// True when `path` is `folder` (canonical) or lies within it.
bool within(const std::string& path, const std::string& folder) {
    return !folder.empty() && path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

// The data folder a leftover is told by.
struct FolderKey {
    std::string identity;   // what the marks name it by
    std::string canonical;  // its canonical path, for working folders and open files
};

// True when the descriptor `fd` of `pid` is open for writing.
bool openForWriting(pid_t pid, const char* fd) {
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + fd);
    std::string key;
    while (info >> key) {
        if (key != "flags:") continue;
        unsigned long flags = 0;
        info >> std::oct >> flags;
        return (flags & O_ACCMODE) != O_RDONLY;
    }
    return false;
}

// True when `pid` works in `folder` or writes into a file there (a reader,
// such as a log viewer, is left alone).
bool usesFolder(pid_t pid, const std::string& folder) {
    const std::string base = "/proc/" + std::to_string(pid);
    if (within(linkTarget(base + "/cwd"), folder)) return true;
    DIR* descriptors = ::opendir((base + "/fd").c_str());
    if (descriptors == nullptr) return false;
    bool uses = false;
    while (dirent* entry = ::readdir(descriptors)) {
        if (entry->d_name[0] == '.') continue;
        if (within(linkTarget(base + "/fd/" + entry->d_name), folder) && openForWriting(pid, entry->d_name)) {
            uses = true;
            break;
        }
    }
    ::closedir(descriptors);
    return uses;
}

// True when `pid` is what an earlier run in the folder left: marked as one
// of its jobs, or unmarked and working in it. A process marked as another
// folder's job is never one.
bool isLeftover(pid_t pid, const FolderKey& folder) {
    std::string job, markedFolder;
    if (markOf(pid, job, markedFolder)) return markedFolder == folder.identity;
    return usesFolder(pid, folder.canonical);
}

// This process and its ancestors (whatever started the node is no
// leftover), and every process of this program (the log's companion).
std::set<pid_t> spared(const std::vector<ProcessEntry>& table) {
    std::map<pid_t, pid_t> parents;
    for (const ProcessEntry& entry : table) parents[entry.pid] = entry.parent;
    std::set<pid_t> kept;
    for (pid_t at = ::getpid(); at > 0 && kept.insert(at).second;) {
        auto found = parents.find(at);
        at = found == parents.end() ? 0 : found->second;
    }
    const std::string self = linkTarget("/proc/self/exe");
    for (const ProcessEntry& entry : table)
        if (!self.empty() && linkTarget("/proc/" + std::to_string(entry.pid) + "/exe") == self) kept.insert(entry.pid);
    return kept;
}

// Kills `pid` if it is still a leftover of `folder`. The descriptor taken
// first pins the process: should it end and its number go to another
// process before the signal, the signal goes nowhere.
bool killIfLeftover(pid_t pid, const FolderKey& folder) {
#if defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)
    int pinned = int(::syscall(SYS_pidfd_open, pid, 0));
    if (pinned >= 0) {
        bool killed = isLeftover(pid, folder) && ::syscall(SYS_pidfd_send_signal, pinned, SIGKILL, nullptr, 0) == 0;
        ::close(pinned);
        return killed;
    }
#endif
    return isLeftover(pid, folder) && ::kill(pid, SIGKILL) == 0;
}

// The inode of the socket at the other end of `connection`, by the
// system's table of TCP connections; 0 when it is not found there.
unsigned long peerSocketInode(const StreamSocket& connection) {
    sockaddr_in local = {}, peer = {};
    socklen_t localSize = sizeof local, peerSize = sizeof peer;
    int fd = int(connection.nativeHandle());
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 || local.sin_family != AF_INET)
        return 0;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        // The table shows each address as the raw 32-bit value, the port in
        // host order; the peer's entry has our ends the other way round.
        unsigned int fromHost = 0, fromPort = 0, toHost = 0, toPort = 0;
        unsigned long inode = 0;
        if (std::sscanf(line.c_str(), " %*d: %8X:%4X %8X:%4X %*X %*X:%*X %*X:%*X %*X %*u %*d %lu", &fromHost, &fromPort,
                        &toHost, &toPort, &inode) != 5)
            continue;
        if (fromHost == peer.sin_addr.s_addr && fromPort == ntohs(peer.sin_port) && toHost == local.sin_addr.s_addr &&
            toPort == ntohs(local.sin_port))
            return inode;
    }
    return 0;
}

bool holdsSocket(pid_t pid, unsigned long inode) {
    const std::string directory = "/proc/" + std::to_string(pid) + "/fd";
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    DIR* descriptors = ::opendir(directory.c_str());
    if (descriptors == nullptr) return false;
    bool holds = false;
    while (dirent* entry = ::readdir(descriptors)) {
        if (entry->d_name[0] == '.') continue;
        char target[64];
        ssize_t length = ::readlink((directory + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (length <= 0) continue;
        target[length] = '\0';
        if (wanted == target) {
            holds = true;
            break;
        }
    }
    ::closedir(descriptors);
    return holds;
}

}  // namespace

int endEarlierJobs(const char16_t* folder) {
    const std::string narrowFolder = narrowPath(folder);
    FolderKey key{folderIdentity(narrowFolder), {}};
    if (char* canonical = ::realpath(narrowFolder.c_str(), nullptr)) {
        key.canonical = canonical;
        std::free(canonical);
    }
    std::set<pid_t> ended;
    struct timespec pause = {0, 5 * 1000 * 1000};
    // A killed process cannot fork; a child forked before the kill is found
    // in the next round.
    for (int round = 0; round < 400; ++round) {
        std::vector<ProcessEntry> table = processTable();
        const std::set<pid_t> kept = spared(table);
        bool found = false;
        for (const ProcessEntry& entry : table) {
            if (entry.dead || kept.count(entry.pid) || !isLeftover(entry.pid, key)) continue;
            found = true;
            if (killIfLeftover(entry.pid, key)) ended.insert(entry.pid);
        }
        if (!found) break;
        ::nanosleep(&pause, nullptr);
    }
    return int(ended.size());
}

bool ChildProcess::holdsPeerOf(const StreamSocket& connection) {
    unsigned long inode = peerSocketInode(connection);
    if (inode == 0) return true;
    // This process starts no other children while a renderer runs: its
    // descendants are the tree.
    for (const ProcessEntry& entry : descendants())
        if (!entry.dead && holdsSocket(entry.pid, inode)) return true;
    return false;
}

namespace {

// The CPU time and resident memory of `pid` from its stat line; false when
// it is gone.
bool processUsage(pid_t pid, double& cpuSeconds, std::uint64_t& residentBytes) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", long(pid));
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return false;
    char line[1024];
    size_t got = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[got] = '\0';
    const char* close = std::strrchr(line, ')');
    unsigned long long user = 0, system = 0;
    long long childUser = 0, childSystem = 0, residentPages = 0;
    // After the name: state, 10 numbers, utime, stime, cutime, cstime, 4
    // more, starttime, vsize, rss (in pages).
    if (close == nullptr ||
        std::sscanf(close + 1,
                    " %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu %llu %lld %lld %*s %*s %*s %*s %*s %*s %lld",
                    &user, &system, &childUser, &childSystem, &residentPages) != 5)
        return false;
    static const long ticks = ::sysconf(_SC_CLK_TCK);
    static const long pageSize = ::sysconf(_SC_PAGESIZE);
    cpuSeconds = double(user + system + std::uint64_t(std::max(0LL, childUser + childSystem))) / double(ticks);
    residentBytes = std::uint64_t(std::max(0LL, residentPages)) * std::uint64_t(pageSize);
    return true;
}

// The proportional set size of `pid`: its resident pages, each shared one
// divided among the processes that map it, so that a tree's sum counts a
// page once however many of its processes share it. False where the system
// gives none (before Linux 4.14, or not readable).
bool proportionalSetSize(pid_t pid, std::uint64_t& bytes) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/smaps_rollup", long(pid));
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return false;
    char line[256];
    unsigned long long kilobytes = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, file) != nullptr)
        found = std::sscanf(line, "Pss: %llu kB", &kilobytes) == 1;
    std::fclose(file);
    if (found) bytes = std::uint64_t(kilobytes) * 1024;
    return found;
}

}  // namespace

std::string exitStatusMeaning(int status) {
    if (status <= 128 || status > 128 + 64) return {};
    int signal = status - 128;
    const char* name = sigabbrev_np(signal);
    return "signal " + std::to_string(signal) + (name != nullptr ? std::string(", SIG") + name : std::string());
}

int returnedValue(int status) { return status > 128 + 64 && status <= 255 ? status - 256 : status; }

struct ChildProcess::System {
    pid_t pid = -1;
    std::uint64_t peakMemory = 0;
    // Guards `reaped`: once the interpreter is reaped its number may belong
    // to another process, which endTree must not signal.
    std::mutex lock;
    bool reaped = false;
};

ChildProcess::ChildProcess(std::unique_ptr<System> system) : system(std::move(system)) {}

Result<std::unique_ptr<ChildProcess>> ChildProcess::start(const char16_t* command, const char16_t* folder) {
    becomeSubreaper();
    // Not system(): it ignores SIGINT and SIGQUIT in the whole process while
    // the command runs, so Ctrl-C could not stop the node during a render.
    // The child gets what system() gives it: the default action for both
    // signals and no blocked signals.
    posix_spawnattr_t attributes;
    if (int failed = posix_spawnattr_init(&attributes); failed != 0) return Status::fromSystem(failed);
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
    std::string job;
    std::vector<std::string> variables;
    std::vector<char*> environment;
    if (folder != nullptr) {
        job = runId() + "-" + std::to_string(jobsMade.fetch_add(1) + 1);
        variables = markedEnvironment(job + " " + folderIdentity(narrowPath(folder)));
        for (std::string& variable : variables) environment.push_back(&variable[0]);
        environment.push_back(nullptr);
    }
    auto system = std::make_unique<System>();
    int spawned = posix_spawn(&system->pid, shell, nullptr, &attributes, arguments,
                              folder != nullptr ? environment.data() : environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return Status::fromSystem(spawned);
    auto child = std::unique_ptr<ChildProcess>(new ChildProcess(std::move(system)));
    child->job = job;
    return {std::move(child)};
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

ChildProcess::Usage ChildProcess::usage() {
    Usage total;
    // This process starts no other children while a renderer runs: its
    // descendants are the tree.
    for (const ProcessEntry& entry : descendants()) {
        double cpu = 0;
        std::uint64_t resident = 0;
        if (!processUsage(entry.pid, cpu, resident)) continue;
        proportionalSetSize(entry.pid, resident);
        total.known = true;
        total.cpuSeconds += cpu;
        total.memoryBytes += resident;
    }
    system->peakMemory = std::max(system->peakMemory, total.memoryBytes);
    total.peakMemoryBytes = system->peakMemory;
    return total;
}

// No cgroup of its own here: the caller watches the tree's proportional set size.
bool ChildProcess::limitMemory(std::uint64_t) { return false; }

// A process group and its subreaper find the whole tree here.
std::int64_t ChildProcess::processId() const { return system->pid; }

const std::string& ChildProcess::limitation() const {
    static const std::string none;
    return none;
}

// A renderer here has no desktop the node looks into.
std::vector<ShownWindow> ChildProcess::shownWindows() { return {}; }

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
