#include "Json.h"

#include <cmath>
#include <cstdio>

namespace Varnix::Peer {

namespace {

// Length of the UTF-8 sequence starting at `at`, 0 when it is not one.
size_t utf8Length(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    // Overlong forms and surrogates are not UTF-8 either.
    if ((length == 2 && lead < 0xC2) || (length == 3 && lead == 0xE0 && byte(at + 1) < 0xA0) ||
        (length == 3 && lead == 0xED && byte(at + 1) >= 0xA0) || (length == 4 && lead == 0xF0 && byte(at + 1) < 0x90) ||
        (length == 4 && (lead > 0xF4 || (lead == 0xF4 && byte(at + 1) >= 0x90))))
        return 0;
    return length;
}

}  // namespace

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c >= 0x80) {
            const size_t length = utf8Length(text, at);
            if (length == 0) {
                out += "\\ufffd";
                ++at;
                continue;
            }
            out.append(text, at, length);
            at += length;
            continue;
        } else {
            out += static_cast<char>(c);
        }
        ++at;
    }
    return out + "\"";
}

std::string jsonNumber(int64_t value) { return std::to_string(value); }

std::string jsonNumber(double value) {
    if (!std::isfinite(value)) return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string jsonBool(bool value) { return value ? "true" : "false"; }

std::string jsonArray(const std::vector<std::string>& values) {
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + values[i];
    return out + "]";
}

std::string JsonObject::text() const {
    std::string out = "{";
    for (size_t i = 0; i < fields.size(); ++i)
        out += (i ? ", " : "") + jsonString(fields[i].first) + ": " + fields[i].second;
    return out + "}";
}

}  // namespace Varnix::Peer
