#pragma once
// Times file writes in a directory with inotify: for each file whose name
// matches, the moment its first bytes reached the file and the moment the
// writer closed it. Every transfer, the node's and the baselines', is timed
// this way from outside, so the figures compare like with like.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

struct WriteSpan {
    std::string name;
    Clock::time_point firstWrite;
    Clock::time_point closed;
    double seconds() const { return std::chrono::duration<double>(closed - firstWrite).count(); }
};

class FileWatch {
public:
    // What starts a file's span: its first write, or its creation (for a
    // writer that creates the file just as the first bytes arrive, this
    // leaves out its own delay before its first write).
    enum class Start { firstWrite, creation };

    // Starts watching `directory` for `count` files matching `match`, written
    // one after another.
    FileWatch(const std::string& directory, std::function<bool(const std::string&)> match, int count,
              Start start = Start::firstWrite);
    ~FileWatch();

    // Waits at most `seconds` for all files; returns the spans seen so far.
    std::vector<WriteSpan> wait(double seconds);

private:
    void watchLoop();

    std::string directory;
    std::function<bool(const std::string&)> match;
    int count;
    std::uint32_t waitingMask;
    int fd = -1;
    std::vector<WriteSpan> spans;
    std::atomic<bool> done{false};
    std::thread thread;
    std::atomic<bool> stopRequested{false};
};

}  // namespace bench

namespace bench {

struct Arrival {
    std::string name;
    Clock::time_point when;
};

// Notes the moment each matching file appears whole in `directory`: closed
// after writing or moved in (as the stand-in renames each dump into place),
// and calls `onArrival` with its name on the watching thread.
class ArrivalWatch {
public:
    ArrivalWatch(const std::string& directory, std::function<bool(const std::string&)> match,
                 std::function<void(const std::string&)> onArrival = {});
    ~ArrivalWatch();
    // Stops watching; the arrivals in their order.
    std::vector<Arrival> stop();

private:
    std::function<bool(const std::string&)> match;
    std::function<void(const std::string&)> onArrival;
    int fd = -1;
    std::vector<Arrival> arrivals;
    std::thread thread;
    std::atomic<bool> stopRequested{false};
};

}  // namespace bench
