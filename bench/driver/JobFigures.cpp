// The node's own time per job.
#include "Bench.h"

#include "Net.h"
#include "Process.h"
#include "Report.h"
#include "Stats.h"
#include "WorkFiles.h"

#include <sys/inotify.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace bench {

// Jobs of a tiny scene and one small dump, with the benchmark as the master:
// the node's own time before the renderer starts and after it ends.
void Bench::benchJobs() {
    say("per-job overhead: " + std::to_string(opt.jobs) + " tiny jobs");
    fs::path stubDir = root / "max" / "tiny";
    int watchFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(watchFd, stubDir.c_str(), IN_MODIFY | IN_CLOSE_WRITE);
    alignas(inotify_event) char buffer[4096];
    // The stand-in's record file: its first line is written as it starts,
    // and the file is closed as it exits. A quick stand-in can do both
    // before one read of the watch, so every event of a read is kept, each
    // with the time of that read, and a wait first looks at what was kept.
    std::vector<std::pair<std::uint32_t, Clock::time_point>> seen;
    auto recordEvent = [&](std::uint32_t mask, Clock::time_point& when, int timeoutMs) {
        auto take = [&]() {
            for (auto it = seen.begin(); it != seen.end(); ++it) {
                if (it->first & mask) {
                    when = it->second;
                    seen.erase(seen.begin(), it + 1);
                    return true;
                }
            }
            return false;
        };
        auto start = Clock::now();
        while (!take()) {
            if (msSince(start, Clock::now()) >= timeoutMs) return false;
            pollfd p{watchFd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            auto now = Clock::now();
            ssize_t got = read(watchFd, buffer, sizeof buffer);
            for (ssize_t at = 0; at < got;) {
                auto* event = reinterpret_cast<inotify_event*>(buffer + at);
                at += ssize_t(sizeof(inotify_event) + event->len);
                if (event->len && std::string(event->name) == "maxstub-record.txt") seen.emplace_back(event->mask, now);
            }
        }
        return true;
    };
    std::vector<char> scene(1024, 'x');
    std::vector<double> before, after, whole;
    for (int job = 0; job < opt.jobs; ++job) {
        while (read(watchFd, buffer, sizeof buffer) > 0) {
        }
        seen.clear();
        auto connected = Clock::now();
        int fd = connectTcp(masterPort, 5000);
        unsigned char bytes[8];
        if (fd < 0 || !readExact(fd, bytes, 4, 10000)) die("no node greeting for a tiny job");
        encodeSignal(masterGreeting, bytes);
        writeAll(fd, bytes, 4);
        const char parameters[] = "2013 1";
        writeAll(fd, parameters, sizeof parameters);
        encodeSignal(std::uint32_t(scene.size()), bytes);
        writeAll(fd, bytes, 4);
        writeAll(fd, scene.data(), scene.size());
        Clock::time_point started, exited;
        if (!recordEvent(IN_MODIFY, started, 30000)) die("the stand-in of a tiny job did not start");
        if (!readExact(fd, bytes, 8, 30000)) die("no dump in a tiny job");
        std::vector<char> dump(decodeSignal(bytes + 4));
        if (!readExact(fd, dump.data(), dump.size(), 30000)) die("a cut dump in a tiny job");
        if (!recordEvent(IN_CLOSE_WRITE, exited, 30000)) die("the stand-in of a tiny job did not end");
        if (!waitForClose(fd, 30000)) die("the node did not close a tiny job");
        auto closed = Clock::now();
        close(fd);
        before.push_back(msSince(connected, started));
        after.push_back(msSince(exited, closed));
        whole.push_back(msSince(connected, closed));
    }
    close(watchFd);
    std::string of = std::to_string(opt.jobs);
    addRow({"Per job (tiny scene, one small dump): master connects → renderer starts, median / p99 / max of " + of +
                " (ms)",
            latencies(before, 1), "", "", ""});
    addRow({"Per job: renderer exits → node closes the master connection after \"Ready for new connection\", "
            "median / p99 / max (ms)",
            latencies(after, 1), "", "", ""});
    double overhead = median(before) + median(after);
    addRow({"Per job: whole tiny job, median (ms); node's own share of a 2 s frame (overhead / (overhead + 2 s))",
            fmt(median(whole), 0) + "; " + fmt(overhead / (overhead + 2000) * 100, 1) + " %", "", "", ""});
}

}  // namespace bench
