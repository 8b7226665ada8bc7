#include "node/LineBudget.h"

namespace Varnix {

LineBudget::LineBudget(int burst, double perSecond) : tokens(burst), capacity(burst), perMs(perSecond / 1000.0) {}

bool LineBudget::take(long long nowMs) {
    if (lastRefillMs >= 0 && nowMs > lastRefillMs) {
        tokens += double(nowMs - lastRefillMs) * perMs;
        if (tokens > capacity) tokens = capacity;
    }
    lastRefillMs = nowMs;
    if (tokens >= 1) {
        tokens -= 1;
        return true;
    }
    if (heldBack == 0) lastReportMs = nowMs;
    ++heldBack;
    lastHeldBackMs = nowMs;
    return false;
}

std::uint64_t LineBudget::dueCount(long long nowMs) {
    if (heldBack == 0) return 0;
    if (nowMs - lastHeldBackMs < pauseMs && nowMs - lastReportMs < reportEveryMs) return 0;
    std::uint64_t count = heldBack;
    heldBack = 0;
    lastReportMs = nowMs;
    return count;
}

std::uint64_t LineBudget::takeCount() {
    std::uint64_t count = heldBack;
    heldBack = 0;
    return count;
}

}  // namespace Varnix
