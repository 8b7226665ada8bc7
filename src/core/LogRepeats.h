#pragma once
// Repeated-line suppression in the manner of syslog's "last message repeated
// N times": only a run of lines identical to the line just before them,
// each coming less than runGapMs after it, is counted instead of written,
// and only past its first keptPerRun lines (a master may well send END
// twice). A line between two identical ones, or a pause, ends the run, so
// ordinary traffic (a job's lines, a master's ping every few seconds) is
// written as it is. Each count is written as a line of its own; nothing is dropped
// silently. No locking: the log sink calls it under its lock.

#include <cstdint>
#include <string>

namespace Varnix {

class LogRepeats {
public:
    // A repetition that comes this long after the line before it is written.
    static constexpr long long runGapMs = 1000;
    // Lines of a run written before the rest is counted.
    static constexpr int keptPerRun = 10;
    // A count is written at least this often while its run lasts.
    static constexpr long long reportEveryMs = 30000;

    // For one line logged at `nowMs` (a monotonic clock): true when it is to
    // be written, false when it was counted. When the line ends a run, its
    // count is set in `summary` (else `summary` is emptied), to be written
    // before the line.
    bool admit(const std::u16string& text, long long nowMs, std::u16string& summary);

    // The count of a run that has paused by `nowMs`, or has not been
    // reported for reportEveryMs, in `summary`; empty when none is due. With
    // `closing` any count not yet written.
    void collectDue(long long nowMs, bool closing, std::u16string& summary);

    // True while a run has lines counted and not yet reported: a count will
    // fall due even if nothing more is logged.
    bool counting() const { return counted > 0; }

    // The line that reports `count` more lines of `text`.
    static std::u16string summaryLine(const std::u16string& text, std::uint64_t count);

private:
    void report(std::u16string& summary);

    std::u16string last;
    bool hasLast = false;
    long long lastSeenMs = 0;
    long long lastReportMs = 0;
    // Lines of the current run written so far.
    int written = 0;
    std::uint64_t counted = 0;
};

}  // namespace Varnix
