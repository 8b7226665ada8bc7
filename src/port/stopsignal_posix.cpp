#include "port/stopsignal.h"

#include "port/thread.h"

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace Varnix::Port {

namespace {

std::atomic<int> requested{0};
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need a lock-free count");

// The handler's byte wakes the teller thread, which may take locks and call
// out: a signal handler may do neither.
int wakeFds[2] = {-1, -1};
bool tellerRunning = false;

Mutex& notifyLock() {
    static Mutex lock;
    return lock;
}
void (*notifyFunction)(void*) = nullptr;
void* notifyContext = nullptr;

// The signals whose default would end the node: each is a stop request, so
// that a running job's master is told the job was cut.
constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGPWR};
std::atomic<int> lastSignal{SIGTERM};
constexpr int lastRequestGraceMs = 10000;

extern "C" void recordStopRequest(int number) {
    int savedErrno = errno;
    lastSignal.store(number);
    // From the fourth on the system's default ends the process at once.
    if (requested.fetch_add(1) + 1 >= lastStopRequest)
        for (int stop : stopSignals) signal(stop, SIG_DFL);
    char byte = 1;
    if (wakeFds[1] >= 0) (void)!write(wakeFds[1], &byte, 1);
    errno = savedErrno;
}

void tellStopRequests(void*) {
    for (;;) {
        char byte;
        ssize_t got = read(wakeFds[0], &byte, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        {
            MutexLock guard(notifyLock());
            if (notifyFunction != nullptr) notifyFunction(notifyContext);
        }
        if (requested.load() >= lastStopRequest) {
            // The cut and the stop have this long to tell the master and
            // write the log's last line; a stop that hangs ends here.
            struct timespec grace = {lastRequestGraceMs / 1000, 0};
            while (nanosleep(&grace, &grace) != 0 && errno == EINTR) {
            }
            int number = lastSignal.load();
            signal(number, SIG_DFL);
            raise(number);
            return;
        }
    }
}

}  // namespace

void watchStopRequests() {
    if (pipe2(wakeFds, O_CLOEXEC) == 0) {
        // A handler never blocks, even with the teller far behind.
        fcntl(wakeFds[1], F_SETFL, O_NONBLOCK);
        ThreadHandle teller = createThread(&tellStopRequests, nullptr, 0x10000);
        if (teller != nullptr) {
            nameThread(teller, "MY_StopRequests");
            closeThread(teller);  // runs for the life of the process
            tellerRunning = true;
        }
    }
    struct sigaction action {};
    action.sa_handler = recordStopRequest;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A closed terminal or a hung-up session (SIGHUP) too: left to its
    // default, it would end the node mid-job and leave the renderer running.
    for (int stop : stopSignals) sigaction(stop, &action, nullptr);
}

int stopRequests() { return requested.load(); }

bool notifyStopRequests(void (*notify)(void* context), void* context) {
    MutexLock guard(notifyLock());
    notifyFunction = notify;
    notifyContext = context;
    return tellerRunning;
}

// No stop from outside reaches a window here.
void keepCloseFromHelperWindows(void*) {}

}  // namespace Varnix::Port
