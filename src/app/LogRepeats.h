#pragma once
// Repeated-line suppression for floods, in the manner of syslog's "last
// message repeated N times". Only lines identical to one logged shortly
// before are counted instead of written, and only once the same text has
// come more than `keptPerBurst` times with less than `burstGapMs` between
// two of them: every line of ordinary traffic is written as it is. Each
// count is written as a line of its own; nothing is dropped silently.
// No locking: the log sink calls it under its lock.

#include <cstdint>
#include <string>
#include <vector>

namespace Varnix {

class LogRepeats {
public:
    // Lines of one text written in a burst before the rest is counted.
    static constexpr int keptPerBurst = 20;
    // A repetition that comes later than this after the previous one starts
    // a new burst.
    static constexpr long long burstGapMs = 500;
    // A count is written at least this often while its burst lasts.
    static constexpr long long reportEveryMs = 30000;
    // Distinct texts followed at once; the least recent one is forgotten
    // (its count written first).
    static constexpr std::size_t trackedTexts = 16;

    // For one line logged at `nowMs` (a monotonic clock): true when it is to
    // be written, false when it was counted. Counts of bursts that ended are
    // added to `summaries`, to be written before the line.
    bool admit(const std::u16string& text, long long nowMs, std::vector<std::u16string>& summaries);

    // Adds the counts of bursts that have ended by `nowMs`, and of bursts
    // not reported for reportEveryMs, to `summaries`.
    void collectDue(long long nowMs, std::vector<std::u16string>& summaries);

    // Adds every count not yet written (the log is closing).
    void collectAll(std::vector<std::u16string>& summaries);

    // The line that reports `count` more lines of `text`.
    static std::u16string summaryLine(const std::u16string& text, std::uint64_t count);

private:
    struct Entry {
        std::u16string text;
        long long lastSeenMs = 0;
        long long lastReportMs = 0;
        int inBurst = 0;
        std::uint64_t counted = 0;
    };
    void report(Entry& entry, std::vector<std::u16string>& summaries);

    std::vector<Entry> entries;
};

}  // namespace Varnix
