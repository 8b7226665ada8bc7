#include "Behaviour.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <sstream>

namespace Varnix::Peer {

namespace {

std::string trim(const std::string& text) {
    size_t from = 0, to = text.size();
    while (from < to && std::isspace(static_cast<unsigned char>(text[from]))) ++from;
    while (to > from && std::isspace(static_cast<unsigned char>(text[to - 1]))) --to;
    return text.substr(from, to - from);
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool toInt(const std::string& text, int low, int high, int& out) {
    if (text.empty()) return false;
    char* stop = nullptr;
    const long v = std::strtol(text.c_str(), &stop, 10);
    if (*stop != '\0' || v < low || v > high) return false;
    out = static_cast<int>(v);
    return true;
}

bool toBool(const std::string& text, bool& out) {
    const std::string v = lower(text);
    if (v == "yes" || v == "true" || v == "1" || v == "on") {
        out = true;
        return true;
    }
    if (v == "no" || v == "false" || v == "0" || v == "off") {
        out = false;
        return true;
    }
    return false;
}

bool toSize(const std::string& text, int& width, int& height) {
    const size_t x = lower(text).find('x');
    if (x == std::string::npos) return false;
    int w = 0, h = 0;
    if (!toInt(trim(text.substr(0, x)), 8, 8192, w) || !toInt(trim(text.substr(x + 1)), 8, 8192, h)) return false;
    width = w;
    height = h;
    return true;
}

// Applies one key; false when the key is unknown or its value is bad.
bool apply(Behaviour& b, const std::string& key, const std::string& value) {
    if (key == "dumps") return toInt(value, 0, 100000, b.dumps);
    if (key == "dump_interval_ms") return toInt(value, 0, 3600000, b.dumpIntervalMs);
    if (key == "dump_size") return toSize(value, b.dumpWidth, b.dumpHeight);
    if (key == "connect") return toBool(value, b.connect);
    if (key == "connect_timeout_seconds") return toInt(value, 0, 86400, b.connectTimeoutSeconds);
    if (key == "connect_delay_ms") return toInt(value, 0, 3600000, b.connectDelayMs);
    if (key == "dump_cut_at") return toInt(value, 0, 2147483647, b.dumpCutAt);
    if (key == "greeting") {
        const std::string v = lower(value);
        if (v != "good" && v != "wrong") return false;
        b.wrongGreeting = v == "wrong";
        return true;
    }
    if (key == "crash_after_dumps") {
        if (lower(value) == "never") {
            b.crashAfterDumps = -1;
            return true;
        }
        return toInt(value, -1, 100000, b.crashAfterDumps);
    }
    if (key == "hang_until_end") return toBool(value, b.hangUntilEnd);
    if (key == "end_wait_seconds") return toInt(value, 0, 86400, b.endWaitSeconds);
    if (key == "end_linger_ms") return toInt(value, 0, 60000, b.endLingerMs);
    if (key == "exit_code") return toInt(value, INT_MIN, INT_MAX, b.exitCode);
    if (key == "bytes_after_greeting") return toInt(value, 0, 1 << 20, b.bytesAfterGreeting);
    if (key == "dump_write") {
        const std::string v = lower(value);
        if (v != "rename" && v != "in_place") return false;
        b.dumpsInPlace = v == "in_place";
        return true;
    }
    if (key == "reuse_dump_name") return toBool(value, b.reuseDumpName);
    if (key == "hang") {
        const std::string v = lower(value);
        if (v != "no" && v != "silent" && v != "ignore_end" && v != "close_link" && v != "stuck" && v != "busy" &&
            v != "grow_memory")
            return false;
        b.hang = v;
        return true;
    }
    if (key == "grow_memory_step_mb") return toInt(value, 1, 1024, b.growMemoryStepMb);
    if (key == "grow_memory_cap_mb") return toInt(value, 1, 1 << 20, b.growMemoryCapMb);
    if (key == "clear_environment") return toBool(value, b.clearEnvironment);
    if (key == "late_dump_ms") return toInt(value, -1, 3600000, b.lateDumpMs);
    if (key == "message_box_title") {
        b.messageBoxTitle = value;
        return true;
    }
    if (key == "message_box_text") {
        b.messageBoxText = value;
        return true;
    }
    if (key == "script_output") {
        b.scriptOutput = value;
        return true;
    }
    if (key == "record_file") {
        b.recordFile = value;
        return true;
    }
    if (key == "keep_dumps_in") {
        b.keepDumpsIn = value;
        return true;
    }
    return false;
}

}  // namespace

Behaviour parseBehaviour(const std::string& text, std::vector<std::string>& warnings) {
    Behaviour behaviour;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = trim(line);
        if (line.empty()) continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            warnings.push_back("line " + std::to_string(number) + ": expected key = value: " + line);
            continue;
        }
        const std::string key = lower(trim(line.substr(0, equals)));
        const std::string value = trim(line.substr(equals + 1));
        if (!apply(behaviour, key, value))
            warnings.push_back("line " + std::to_string(number) + ": unknown key or bad value ignored: " + line);
    }
    return behaviour;
}

}  // namespace Varnix::Peer
