// varnix-bench-logsink: eight threads call the real log sink's log() for
// one second while its writer thread writes DrLog.txt, and the same threads
// append the same lines to a string under a plain mutex (the floor for any
// locked log) for one second; four such pairs, each starting with the other
// side than the one before, so that a busy moment of the machine weighs on
// both. Prints "key value" lines, one set per measurement: lines per second
// and call-time percentiles. Writes drData/DrLog.txt in the current
// directory; needs no display.

#include "core/LogSink.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int threadCount = 8;
constexpr auto runTime = std::chrono::seconds(1);
constexpr int pairs = 4;
constexpr auto settleTime = std::chrono::milliseconds(1200);  // past the first flush ticks
const char16_t* const lineText = u"Replying to discovery ping from render-node-17.farm.local";

struct Result {
    double linesPerSecond = 0;
    std::uint64_t lines = 0;
    double p50Us = 0, p99Us = 0, p999Us = 0, maxUs = 0;
};

// Runs `call` from threadCount threads for runTime and times every call.
template <class Call>
Result measure(Call call) {
    std::vector<std::vector<std::uint32_t>> times(threadCount);
    std::atomic<bool> go{false};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    Clock::time_point start, end;
    for (int t = 0; t < threadCount; ++t) {
        times[t].reserve(4u << 20);
        threads.emplace_back([&, t] {
            auto& mine = times[t];
            ++ready;
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            for (;;) {
                auto before = Clock::now();
                if (before >= end) break;
                call();
                auto after = Clock::now();
                auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(after - before).count();
                mine.push_back(static_cast<std::uint32_t>(std::min<long long>(ns, 0xFFFFFFFFll)));
            }
        });
    }
    while (ready.load() < threadCount) std::this_thread::yield();
    start = Clock::now();
    end = start + runTime;
    go.store(true, std::memory_order_release);
    for (auto& thread : threads) thread.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<std::uint32_t> all;
    for (auto& mine : times) all.insert(all.end(), mine.begin(), mine.end());
    Result result;
    result.lines = all.size();
    result.linesPerSecond = all.size() / seconds;
    if (all.empty()) return result;
    auto at = [&](double q) {
        std::size_t k = std::min(all.size() - 1, static_cast<std::size_t>(q * (all.size() - 1)));
        std::nth_element(all.begin(), all.begin() + k, all.end());
        return all[k] / 1000.0;
    };
    result.p50Us = at(0.50);
    result.p99Us = at(0.99);
    result.p999Us = at(0.999);
    result.maxUs = *std::max_element(all.begin(), all.end()) / 1000.0;
    return result;
}

void print(const char* prefix, const Result& r) {
    std::printf(
        "%s_lines %llu\n%s_lines_per_second %.0f\n%s_p50_us %.3f\n%s_p99_us %.3f\n%s_p999_us %.3f\n%s_max_us %.1f\n",
        prefix, static_cast<unsigned long long>(r.lines), prefix, r.linesPerSecond, prefix, r.p50Us, prefix, r.p99Us,
        prefix, r.p999Us, prefix, r.maxUs);
    std::fflush(stdout);
}

// The floor: the same line appended under a mutex, taken away twice a second.
Result measureBaseline() {
    std::mutex lock;
    std::u16string pending;
    std::atomic<bool> stop{false};
    std::thread flusher([&] {
        std::u16string taken;
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            std::lock_guard<std::mutex> guard(lock);
            taken.swap(pending);
            pending.clear();
        }
    });
    const std::u16string stamp = u"2026/12/08-01:23:45   ";
    Result result = measure([&] {
        std::lock_guard<std::mutex> guard(lock);
        pending += stamp;
        pending += lineText;
        pending += u'\n';
    });
    stop = true;
    flusher.join();
    return result;
}

}  // namespace

int main() {
    std::filesystem::create_directories("drData");
    Varnix::LogSink sink;
    sink.open(Varnix::String(u"drData/DrLog.txt"));
    std::this_thread::sleep_for(settleTime);
    for (int pair = 0; pair < pairs; ++pair) {
        if (pair % 2 == 1) print("baseline", measureBaseline());
        print("node", measure([&sink] { sink.log(lineText); }));
        if (pair % 2 == 0) print("baseline", measureBaseline());
    }
    return 0;
}
