#include "node/StatusAnswer.h"

#include "config/NodeSettings.h"
#include "config/RendererLimits.h"
#include "node/Protocol.h"

#include <cmath>

namespace Varnix {

namespace {

std::string number(long long value) { return std::to_string(value); }

// Whole seconds from `fromMs` to `nowMs`, never negative.
std::string secondsSince(long long fromMs, long long nowMs) {
    return number(fromMs < 0 || nowMs < fromMs ? 0 : (nowMs - fromMs) / 1000);
}

// One decimal, whatever the locale: the answer is read by programs.
std::string tenths(double value) {
    long long scaled = std::llround(value * 10);
    std::string text = number(scaled / 10) + "." + number(scaled % 10);
    return text;
}

std::string quoted(const char* text) { return std::string("\"") + text + "\""; }

// Appends UTF-8 for one code point.
void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

std::string job(const JobDetails& job, long long nowMs) {
    std::string out = "{\"master\":" + jsonString(job.master, StatusTextLimits::master);
    out += ",\"max_version\":" + (job.maxVersion > 0 ? quoted(number(job.maxVersion).c_str()) : std::string("null"));
    out += ",\"frame\":" + (job.frame >= 0 ? number(job.frame) : std::string("null"));
    out += ",\"seconds\":" + secondsSince(job.startedMs, nowMs);
    out += ",\"dumps_sent\":" + number((long long)job.dumpsSent);
    out += ",\"bytes_sent\":" + number((long long)job.bytesSent);
    out += ",\"renderer_pid\":" + (job.rendererPid > 0 ? number(job.rendererPid) : std::string("null"));
    out += ",\"renderer_cpu_seconds\":" + (job.rendererCpuSeconds >= 0 ? tenths(job.rendererCpuSeconds) : "null");
    out += ",\"renderer_memory_mb\":" +
           (job.rendererMemoryMb >= 0 ? number(std::llround(job.rendererMemoryMb)) : std::string("null"));
    out += ",\"renderer_silent_seconds\":" +
           (job.lastActivityMs >= 0 ? secondsSince(job.lastActivityMs, nowMs) : std::string("null"));
    out += ",\"dialog\":";
    if (job.dialog) {
        out += "{\"pid\":" + number(job.dialog->pid);
        out += ",\"title\":" + jsonString(job.dialog->title, StatusTextLimits::dialogTitle);
        out += ",\"text\":" + jsonString(job.dialog->text, StatusTextLimits::dialogText) + "}";
    } else {
        out += "null";
    }
    return out + "}";
}

std::string lastJob(const LastJob& last, long long nowMs) {
    if (last.outcome == JobOutcome::none) return "null";
    std::string out = "{\"outcome\":" + quoted(outcomeName(last.outcome));
    out += ",\"why\":" + jsonString(last.why, StatusTextLimits::why);
    out += ",\"renderer_exit\":" + (last.rendererExit ? number(*last.rendererExit) : std::string("null"));
    out += ",\"ended_seconds_ago\":" + secondsSince(last.endedMs, nowMs);
    return out + "}";
}

std::string counts(const JobCounts& counts) {
    std::string out = "{\"jobs_served\":" + number((long long)counts.served);
    out += ",\"jobs_refused\":" + number((long long)counts.refused);
    out += ",\"jobs_cut\":" + number((long long)counts.cut);
    out += ",\"jobs_failed\":" + number((long long)counts.failed);
    out += ",\"limits_reached\":" + number((long long)counts.limitsReached);
    out += ",\"dumps_sent\":" + number((long long)counts.dumpsSent);
    out += ",\"bytes_sent\":" + number((long long)counts.bytesSent);
    out += ",\"renderer_exits\":{";
    const char* comma = "";
    for (const auto& exit : counts.rendererExits) {
        out += comma + quoted(number(exit.first).c_str()) + ":" + number((long long)exit.second);
        comma = ",";
    }
    return out + "}}";
}

// The JSON text; without the parts trimming takes out when `trimmed`.
std::string answerText(const NodeState& state, const StatusFacts& facts, const StatusSample& sample, long long nowMs,
                       bool withWarning, bool withLists) {
    std::string out = "{\"name\":" + jsonString(facts.name, StatusTextLimits::name);
    out += ",\"version\":" + jsonString(facts.version);
    out += ",\"uptime_seconds\":" + secondsSince(state.startedMs, nowMs);
    out += ",\"state\":" + quoted(stageName(state.stage));
    out += ",\"state_seconds\":" + secondsSince(state.stageSinceMs, nowMs);
    out += std::string(",\"stop_requested\":") + (state.stopRequested ? "true" : "false");
    out += ",\"job\":" + (state.job ? job(*state.job, nowMs) : std::string("null"));
    out += ",\"limits\":{";
    const char* comma = "";
    for (const auto& limit : facts.limits) {
        if (!withLists) break;
        out += comma + quoted(limit.first.c_str()) + ":" + number(limit.second);
        comma = ",";
    }
    out += "},\"max_versions\":[";
    comma = "";
    for (int version : facts.maxVersions) {
        if (!withLists) break;
        out += comma + quoted(number(version).c_str());
        comma = ",";
    }
    out += "],\"free_disk_mb\":" + (sample.freeDiskMb >= 0 ? number(sample.freeDiskMb) : std::string("null"));
    out += ",\"last_job\":" + lastJob(state.lastJob, nowMs);
    out += ",\"log_lines_lost\":" + number((long long)sample.logLinesLost);
    out += ",\"last_warning\":" +
           jsonString(withWarning ? state.lastWarning : std::u16string(), StatusTextLimits::lastWarning);
    out += ",\"counts\":" + counts(state.counts);
    if (!withWarning || !withLists) out += ",\"truncated\":true";
    return out + "}";
}

}  // namespace

std::string jsonString(const std::u16string& text, std::size_t maxBytes) {
    std::string out = "\"";
    std::string one;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        one.clear();
        if (c == u'"' || c == u'\\') {
            one = std::string("\\") + char(c);
        } else if (c < 0x20) {
            static const char hex[] = "0123456789abcdef";
            one = std::string("\\u00") + hex[c >> 4] + hex[c & 0xF];
        } else {
            appendUtf8(one, c);
        }
        if (maxBytes != std::string::npos && out.size() + one.size() + 1 > maxBytes) break;
        out += one;
    }
    return out + "\"";
}

StatusFacts statusFacts(const NodeSettings& settings, const std::u16string& name, const std::u16string& version) {
    StatusFacts facts;
    facts.name = name;
    facts.version = version;
    for (const auto& limit : namedLimits(settings.limits)) facts.limits.emplace_back(limit.first, limit.second);
    for (int index = 0; index < hostYearCount; ++index)
        if (!settings.hostInstalls[index].isEmpty()) facts.maxVersions.push_back(firstHostYear + index);
    return facts;
}

std::string buildStatusAnswer(const NodeState& state, const StatusFacts& facts, const StatusSample& sample,
                              long long nowMs, std::size_t maxBytes) {
    if (maxBytes < 4) return {};
    // Fullest first; each step leaves out what matters least to a farm page.
    static constexpr bool steps[][2] = {{true, true}, {false, true}, {false, false}};
    for (const auto& step : steps) {
        std::string text = answerText(state, facts, sample, nowMs, step[0], step[1]);
        if (text.size() + 4 > maxBytes) continue;
        unsigned char signal[4];
        encodeSignal(Varnix::statusAnswer, signal);
        return std::string(reinterpret_cast<const char*>(signal), 4) + text;
    }
    return {};
}

}  // namespace Varnix
