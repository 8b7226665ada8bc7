#include "node/StatusAnswer.h"

#include "config/NodeSettings.h"
#include "config/RendererLimits.h"
#include "node/Protocol.h"
#include "port/socket.h"
#include "port/utf8.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace Varnix {

namespace {

// The answer is written into one buffer, kept by the caller from one
// request to the next: no text is built apart and copied in.
void number(std::string& out, long long value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// `number`, or null when `known` is false.
void numberOrNull(std::string& out, bool known, long long value) {
    if (known)
        number(out, value);
    else
        out += "null";
}

// The moment an answer is built for, and the first later moment at which
// one of the seconds it tells moves on.
struct AnswerClock {
    long long nowMs;
    long long changesAtMs = std::numeric_limits<long long>::max();
};

// Whole seconds from `fromMs` to the clock's now, never negative.
void secondsSince(std::string& out, long long fromMs, AnswerClock& clock) {
    const long long nowMs = clock.nowMs;
    if (fromMs < 0) {
        number(out, 0);
        return;
    }
    const long long nextMs = nowMs < fromMs ? fromMs + 1000 : nowMs + 1000 - (nowMs - fromMs) % 1000;
    clock.changesAtMs = std::min(clock.changesAtMs, nextMs);
    number(out, nowMs < fromMs ? 0 : (nowMs - fromMs) / 1000);
}

// One decimal, whatever the locale: the answer is read by programs.
void tenths(std::string& out, double value) {
    long long scaled = std::llround(value * 10);
    number(out, scaled / 10);
    out += '.';
    number(out, scaled % 10);
}

void quoted(std::string& out, long long value) {
    out += '"';
    number(out, value);
    out += '"';
}

// jsonString() appended to `out`. Returns how many units of `text` it took.
std::size_t appendJsonString(std::string& out, const std::u16string& text, std::size_t maxBytes = std::string::npos) {
    const std::size_t start = out.size();
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        const bool pair =
            c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        char one[8];
        char* end = one;
        if (c == u'"' || c == u'\\') {
            *end++ = '\\';
            *end++ = char(c);
        } else if (c < 0x20) {
            static const char hex[] = "0123456789abcdef";
            end = std::copy_n("\\u00", 4, end);
            *end++ = hex[c >> 4];
            *end++ = hex[c & 0xF];
        } else {
            // The platform layer's codec: a lone surrogate becomes '?', as in every other text the node writes.
            end += Port::Utf8::encode(&text[i], pair ? 2 : 1, one, int(sizeof one), Port::Utf8::BadInput::replace);
        }
        if (pair) ++i;
        const std::size_t size = std::size_t(end - one);
        if (maxBytes != std::string::npos && out.size() - start + size + 1 > maxBytes) {
            out += '"';
            return pair ? i - 1 : i;
        }
        out.append(one, size);
    }
    out += '"';
    return text.size();
}

// A cause cut inside a figure would tell a wrong one ("the limit is 2" for
// 256 MB): a cut one ends at a word.
void appendJsonWords(std::string& out, const std::u16string& text, std::size_t maxBytes) {
    const std::size_t start = out.size();
    const std::size_t taken = appendJsonString(out, text, maxBytes);
    if (taken == text.size()) return;
    const std::size_t space = text.rfind(u' ', taken);
    if (space == std::u16string::npos || space == 0) return;
    out.resize(start);
    appendJsonString(out, text.substr(0, space), maxBytes);
}

void job(std::string& out, const JobDetails& job, AnswerClock& clock) {
    out += "{\"master\":";
    appendJsonString(out, job.master, StatusTextLimits::master);
    out += ",\"max_version\":";
    if (job.maxVersion > 0)
        quoted(out, job.maxVersion);
    else
        out += "null";
    out += ",\"frame\":";
    numberOrNull(out, job.frame >= 0, job.frame);
    out += ",\"seconds\":";
    secondsSince(out, job.startedMs, clock);
    out += ",\"dumps_sent\":";
    number(out, (long long)job.dumpsSent);
    out += ",\"bytes_sent\":";
    number(out, (long long)job.bytesSent);
    out += ",\"renderer_pid\":";
    numberOrNull(out, job.rendererPid > 0, job.rendererPid);
    out += ",\"renderer_cpu_seconds\":";
    if (job.rendererCpuSeconds >= 0)
        tenths(out, job.rendererCpuSeconds);
    else
        out += "null";
    out += ",\"renderer_memory_mb\":";
    numberOrNull(out, job.rendererMemoryMb >= 0, std::llround(job.rendererMemoryMb));
    out += ",\"renderer_silent_seconds\":";
    if (job.lastActivityMs >= 0)
        secondsSince(out, job.lastActivityMs, clock);
    else
        out += "null";
    out += ",\"dialog\":";
    if (job.dialog) {
        out += "{\"pid\":";
        number(out, job.dialog->pid);
        out += ",\"title\":";
        appendJsonString(out, job.dialog->title, StatusTextLimits::dialogTitle);
        out += ",\"text\":";
        appendJsonString(out, job.dialog->text, StatusTextLimits::dialogText);
        out += '}';
    } else {
        out += "null";
    }
    out += '}';
}

void lastJob(std::string& out, const LastJob& last, AnswerClock& clock) {
    if (last.outcome == JobOutcome::none) {
        out += "null";
        return;
    }
    out += "{\"outcome\":\"";
    out += outcomeName(last.outcome);
    out += "\",\"why\":";
    appendJsonWords(out, last.why, StatusTextLimits::why);
    out += ",\"renderer_exit\":";
    numberOrNull(out, last.rendererExit.has_value(), last.rendererExit.value_or(0));
    out += ",\"ended_seconds_ago\":";
    secondsSince(out, last.endedMs, clock);
    out += '}';
}

void counts(std::string& out, const JobCounts& counts) {
    const std::pair<const char*, std::uint64_t> fields[] = {
        {"{\"jobs_served\":", counts.served},
        {",\"jobs_refused\":", counts.refused},
        {",\"jobs_cut\":", counts.cut},
        {",\"jobs_failed\":", counts.failed},
        {",\"limits_reached\":", counts.limitsReached},
        {",\"dumps_sent\":", counts.dumpsSent},
        {",\"bytes_sent\":", counts.bytesSent},
    };
    for (const auto& field : fields) {
        out += field.first;
        number(out, (long long)field.second);
    }
    out += ",\"renderer_exits\":{";
    const char* comma = "";
    for (const auto& exit : counts.rendererExits) {
        out += comma;
        quoted(out, exit.first);
        out += ':';
        number(out, (long long)exit.second);
        comma = ",";
    }
    out += "}}";
}

// The JSON text appended to `out`; without the parts trimming takes out.
void answerText(std::string& out, const NodeState& state, const StatusFacts& facts, const StatusSample& sample,
                AnswerClock& clock, bool withWarning, bool withLists) {
    out += "{\"name\":";
    appendJsonString(out, facts.name, StatusTextLimits::name);
    out += ",\"version\":";
    appendJsonString(out, facts.version);
    out += ",\"uptime_seconds\":";
    secondsSince(out, state.startedMs, clock);
    out += ",\"state\":\"";
    out += stageName(state.stage);
    out += "\",\"state_seconds\":";
    secondsSince(out, state.stageSinceMs, clock);
    out += state.stopRequested ? ",\"stop_requested\":true" : ",\"stop_requested\":false";
    out += ",\"job\":";
    if (state.job)
        job(out, *state.job, clock);
    else
        out += "null";
    out += ",\"limits\":{";
    const char* comma = "";
    for (const auto& limit : facts.limits) {
        if (!withLists) break;
        out += comma;
        out += '"';
        out += limit.first;
        out += "\":";
        number(out, limit.second);
        comma = ",";
    }
    out += "},\"max_versions\":[";
    comma = "";
    for (int version : facts.maxVersions) {
        if (!withLists) break;
        out += comma;
        quoted(out, version);
        comma = ",";
    }
    out += "],\"mac_addresses\":[";
    comma = "";
    for (const std::string& address : facts.macAddresses) {
        if (!withLists) break;
        out += comma;
        out += '"';
        out += address;
        out += '"';
        comma = ",";
    }
    out += "],\"free_disk_mb\":";
    numberOrNull(out, sample.freeDiskMb >= 0, sample.freeDiskMb);
    out += ",\"last_job\":";
    lastJob(out, state.lastJob, clock);
    out += ",\"log_lines_lost\":";
    number(out, (long long)sample.logLinesLost);
    out += ",\"last_warning\":";
    appendJsonString(out, withWarning ? state.lastWarning : std::u16string(), StatusTextLimits::lastWarning);
    out += ",\"counts\":";
    counts(out, state.counts);
    if (!withWarning || !withLists) out += ",\"truncated\":true";
    out += '}';
}

}  // namespace

std::string jsonString(const std::u16string& text, std::size_t maxBytes) {
    std::string out;
    appendJsonString(out, text, maxBytes);
    return out;
}

StatusFacts statusFacts(const NodeSettings& settings, const std::u16string& name, const std::u16string& version) {
    StatusFacts facts;
    facts.name = name;
    facts.version = version;
    for (const auto& limit : namedLimits(settings.limits)) facts.limits.emplace_back(limit.first, limit.second);
    for (int index = 0; index < hostYearCount; ++index)
        if (!settings.hostInstalls[index].isEmpty()) facts.maxVersions.push_back(firstHostYear + index);
    facts.macAddresses = Port::hardwareAddresses();
    return facts;
}

std::string buildStatusAnswer(const NodeState& state, const StatusFacts& facts, const StatusSample& sample,
                              long long nowMs, std::size_t maxBytes) {
    std::string datagram;
    buildStatusAnswer(state, facts, sample, nowMs, maxBytes, datagram);
    return datagram;
}

long long buildStatusAnswer(const NodeState& state, const StatusFacts& facts, const StatusSample& sample,
                            long long nowMs, std::size_t maxBytes, std::string& datagram) {
    datagram.clear();
    AnswerClock clock{nowMs};
    if (maxBytes < 4) return clock.changesAtMs;
    // Fullest first; each step leaves out what matters least to a farm page.
    static constexpr bool steps[][2] = {{true, true}, {false, true}, {false, false}};
    for (const auto& step : steps) {
        datagram.resize(4);
        encodeSignal(Varnix::statusAnswer, reinterpret_cast<unsigned char*>(&datagram[0]));
        answerText(datagram, state, facts, sample, clock, step[0], step[1]);
        if (datagram.size() <= maxBytes) return clock.changesAtMs;
    }
    datagram.clear();
    return clock.changesAtMs;
}

}  // namespace Varnix
