#include "core/LogRepeats.h"

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

void LogRepeats::report(std::u16string& summary) {
    if (counted > 0) summary = summaryLine(last, counted);
    counted = 0;
}

bool LogRepeats::admit(const std::u16string& text, long long nowMs, std::u16string& summary) {
    summary.clear();
    if (hasLast && text == last && nowMs - lastSeenMs < runGapMs) {
        lastSeenMs = nowMs;
        if (written < keptPerRun) {
            ++written;
            return true;
        }
        if (counted == 0) lastReportMs = nowMs;
        ++counted;
        return false;
    }
    report(summary);
    last = text;
    hasLast = true;
    written = 1;
    lastSeenMs = nowMs;
    return true;
}

void LogRepeats::collectDue(long long nowMs, bool closing, std::u16string& summary) {
    summary.clear();
    if (counted == 0) return;
    if (closing || nowMs - lastSeenMs >= runGapMs) {
        report(summary);
        // The run is over: the next line is written whatever it says.
        hasLast = false;
    } else if (nowMs - lastReportMs >= reportEveryMs) {
        report(summary);
        lastReportMs = nowMs;
    }
}

}  // namespace Varnix
