#pragma once
// A budget of log lines for one kind of event that strangers can cause as
// often as they like (discovery pings from forged addresses, each line a
// different one): up to `burst` lines at once and `perSecond` on average are
// written; the events beyond are counted, and the count is written as one
// line when the flood pauses or every reportEveryMs while it lasts. No
// locking: one thread uses it.

#include <cstdint>

namespace Varnix {

class LineBudget {
public:
    static constexpr long long reportEveryMs = 30000;
    // A pause this long ends a flood (its count is then due).
    static constexpr long long pauseMs = 1000;

    // `perSecond` may be below one (one line every few seconds).
    LineBudget(int burst, double perSecond);

    // True when the event's line may be written at `nowMs` (a monotonic
    // clock); false when it was counted instead.
    bool take(long long nowMs);

    // The count of events held back that is due for its line at `nowMs`,
    // then forgotten; 0 when none is due.
    std::uint64_t dueCount(long long nowMs);

    // The count of events held back, due or not, then forgotten.
    std::uint64_t takeCount();

    // True while events are held back: their count falls due even if no
    // more come.
    bool holdsBack() const { return heldBack > 0; }

private:
    double tokens;
    double capacity;
    double perMs;
    long long lastRefillMs = -1;
    std::uint64_t heldBack = 0;
    long long lastHeldBackMs = 0;
    long long lastReportMs = 0;
};

}  // namespace Varnix
