#include "FileWatch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace bench {

namespace {
// While a file is being written only its close matters; leaving IN_MODIFY
// out spares the watcher a wake-up for every block written.
constexpr std::uint32_t writingMask = IN_CLOSE_WRITE;
}  // namespace

FileWatch::FileWatch(const std::string& directory, std::function<bool(const std::string&)> match, int count,
                     Start start)
    : directory(directory),
      match(std::move(match)),
      count(count),
      waitingMask((start == Start::creation ? IN_CREATE : IN_MODIFY) | IN_CLOSE_WRITE) {
    fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0 || inotify_add_watch(fd, directory.c_str(), waitingMask) < 0) {
        std::perror("inotify");
        std::exit(1);
    }
    thread = std::thread([this] { watchLoop(); });
}

FileWatch::~FileWatch() {
    stopRequested = true;
    if (thread.joinable()) thread.join();
    if (fd >= 0) close(fd);
}

void FileWatch::watchLoop() {
    alignas(inotify_event) char buffer[65536];
    std::string current;
    Clock::time_point started;
    while (!stopRequested && int(spans.size()) < count) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        ssize_t got = read(fd, buffer, sizeof buffer);
        auto now = Clock::now();
        for (ssize_t at = 0; at < got;) {
            auto* event = reinterpret_cast<inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            std::string name = event->len ? event->name : "";
            if (!match(name)) continue;
            // A creation comes once per file, so that mask stays; switching it
            // would miss a file created before the switch back.
            bool switching = (waitingMask & IN_MODIFY) != 0;
            if ((event->mask & (IN_MODIFY | IN_CREATE)) && current.empty()) {
                current = name;
                started = now;
                if (switching) inotify_add_watch(fd, directory.c_str(), writingMask);
            }
            if ((event->mask & IN_CLOSE_WRITE) && name == current) {
                spans.push_back(WriteSpan{current, started, now});
                current.clear();
                if (switching) inotify_add_watch(fd, directory.c_str(), waitingMask);
            }
        }
    }
    done = true;
}

std::vector<WriteSpan> FileWatch::wait(double seconds) {
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stopRequested = true;
    if (thread.joinable()) thread.join();
    return spans;
}

}  // namespace bench

namespace bench {

ArrivalWatch::ArrivalWatch(const std::string& directory, std::function<bool(const std::string&)> match,
                           std::function<void(const std::string&)> onArrival)
    : match(std::move(match)), onArrival(std::move(onArrival)) {
    fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0 || inotify_add_watch(fd, directory.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
        std::perror("inotify");
        std::exit(1);
    }
    thread = std::thread([this] {
        alignas(inotify_event) char buffer[65536];
        while (!stopRequested) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            ssize_t got = read(fd, buffer, sizeof buffer);
            auto now = Clock::now();
            for (ssize_t at = 0; at < got;) {
                auto* event = reinterpret_cast<inotify_event*>(buffer + at);
                at += ssize_t(sizeof(inotify_event) + event->len);
                std::string name = event->len ? event->name : "";
                if (!this->match(name)) continue;
                arrivals.push_back(Arrival{name, now});
                if (this->onArrival) this->onArrival(name);
            }
        }
    });
}

ArrivalWatch::~ArrivalWatch() {
    stop();
    if (fd >= 0) close(fd);
}

std::vector<Arrival> ArrivalWatch::stop() {
    stopRequested = true;
    if (thread.joinable()) thread.join();
    return arrivals;
}

}  // namespace bench
