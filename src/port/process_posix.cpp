#include "port/process.h"

#include "port/clock.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

extern char** environ;

namespace Varnix::Port {

struct ChildProcess::System {
    pid_t pid = -1;
    // Guards `reaped`: once the interpreter is reaped its number may belong
    // to another process, which endTree must not signal.
    std::mutex lock;
    bool reaped = false;
};

ChildProcess::ChildProcess(std::unique_ptr<System> system) : system(std::move(system)) {}

std::unique_ptr<ChildProcess> ChildProcess::start(const char* narrowCommand, std::string& why) {
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
    std::string command(narrowCommand);
    char* arguments[] = {shell, option, &command[0], nullptr};
    auto system = std::make_unique<System>();
    int spawned = posix_spawn(&system->pid, shell, nullptr, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        why = std::strerror(spawned);
        return nullptr;
    }
    return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(system)));
}

ChildProcess::~ChildProcess() = default;

bool ChildProcess::wait(int milliseconds) {
    if (system->reaped) return true;
    struct timespec pause = {0, 10 * 1000 * 1000};
    const long long deadline = elapsedMilliseconds() + milliseconds;
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
            if (elapsedMilliseconds() >= deadline) return false;
            ::nanosleep(&pause, nullptr);
        }
    }
}

int ChildProcess::endTree() {
    std::lock_guard<std::mutex> guard(system->lock);
    if (system->reaped) return 0;
    return ::kill(system->pid, SIGKILL) == 0 ? 1 : 0;
}

}  // namespace Varnix::Port
