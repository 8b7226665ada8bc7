#include "app/LogRepeats.h"

#include <algorithm>

namespace Varnix {

namespace {

// How much of the repeated text the count line quotes.
constexpr std::size_t quotedUnits = 200;

std::u16string grouped(std::uint64_t value) {
    std::string digits = std::to_string(value);
    std::u16string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += u',';
        out += char16_t(digits[i]);
    }
    return out;
}

}  // namespace

std::u16string LogRepeats::summaryLine(const std::u16string& text, std::uint64_t count) {
    std::u16string line = u"last message repeated " + grouped(count) + (count == 1 ? u" time: " : u" times: ");
    if (text.size() <= quotedUnits) return line + text;
    std::size_t cut = quotedUnits;
    if (text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) --cut;  // keep a surrogate pair whole
    return line + text.substr(0, cut) + u"...";
}

void LogRepeats::report(Entry& entry, std::vector<std::u16string>& summaries) {
    if (entry.counted > 0) summaries.push_back(summaryLine(entry.text, entry.counted));
    entry.counted = 0;
}

bool LogRepeats::admit(const std::u16string& text, long long nowMs, std::vector<std::u16string>& summaries) {
    auto found = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.text == text; });
    if (found == entries.end()) {
        if (entries.size() >= trackedTexts) {
            auto oldest = std::min_element(entries.begin(), entries.end(),
                                           [](const Entry& a, const Entry& b) { return a.lastSeenMs < b.lastSeenMs; });
            report(*oldest, summaries);
            entries.erase(oldest);
        }
        entries.push_back(Entry{text, nowMs, nowMs, 1, 0});
        return true;
    }
    Entry& entry = *found;
    if (nowMs - entry.lastSeenMs >= burstGapMs) {
        // The earlier burst is over: its count first, then a fresh start.
        report(entry, summaries);
        entry.inBurst = 0;
        entry.lastReportMs = nowMs;
    }
    entry.lastSeenMs = nowMs;
    if (entry.inBurst < keptPerBurst) {
        ++entry.inBurst;
        return true;
    }
    if (entry.counted == 0) entry.lastReportMs = nowMs;
    ++entry.counted;
    return false;
}

void LogRepeats::collectDue(long long nowMs, std::vector<std::u16string>& summaries) {
    for (Entry& entry : entries) {
        if (entry.counted == 0) continue;
        if (nowMs - entry.lastSeenMs >= burstGapMs) {
            report(entry, summaries);
            entry.inBurst = 0;
        } else if (nowMs - entry.lastReportMs >= reportEveryMs) {
            report(entry, summaries);
            entry.lastReportMs = nowMs;
        }
    }
}

void LogRepeats::collectAll(std::vector<std::u16string>& summaries) {
    for (Entry& entry : entries) report(entry, summaries);
}

}  // namespace Varnix
