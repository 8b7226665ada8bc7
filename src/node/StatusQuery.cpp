#include "node/StatusQuery.h"

#include "port/utf8.h"

#include <map>
#include <vector>

namespace Varnix {

namespace {

// Just enough JSON for the answer: every scalar is kept under its path
// ("state", "job.frame"); arrays are passed over. Strings are unescaped to
// UTF-8, numbers and literals kept as written.
class JsonFields {
public:
    JsonFields(const char* text, std::size_t size) : at(text), end(text + size) {}

    // False when the text is not one JSON object.
    bool read() {
        skipSpace();
        if (at == end || *at != '{') return false;
        if (!value(std::string(), 0)) return false;
        skipSpace();
        return at == end;
    }

    const std::string* find(const char* path) const {
        auto found = fields.find(path);
        return found == fields.end() ? nullptr : &found->second;
    }

private:
    // The answer nests two levels; a deeper one is no answer of a node.
    static constexpr int maxDepth = 8;

    void skipSpace() {
        while (at != end && (*at == ' ' || *at == '\t' || *at == '\n' || *at == '\r')) ++at;
    }

    bool value(const std::string& path, int depth) {
        skipSpace();
        if (at == end || depth > maxDepth) return false;
        if (*at == '{') return members(path, depth);
        if (*at == '[') return elements(depth);
        if (*at == '"') {
            std::string text;
            if (!string(text)) return false;
            fields[path] = text;
            return true;
        }
        const char* start = at;
        while (at != end && *at != ',' && *at != '}' && *at != ']' && *at != ' ' && *at != '\n' && *at != '\r' &&
               *at != '\t')
            ++at;
        if (at == start) return false;
        fields[path] = std::string(start, at);
        return true;
    }

    bool members(const std::string& path, int depth) {
        ++at;  // '{'
        skipSpace();
        if (at != end && *at == '}') return ++at, true;
        for (;;) {
            skipSpace();
            std::string key;
            if (at == end || *at != '"' || !string(key)) return false;
            skipSpace();
            if (at == end || *at != ':') return false;
            ++at;
            if (!value(path.empty() ? key : path + "." + key, depth + 1)) return false;
            skipSpace();
            if (at == end) return false;
            if (*at == '}') return ++at, true;
            if (*at++ != ',') return false;
        }
    }

    bool elements(int depth) {
        ++at;  // '['
        skipSpace();
        if (at != end && *at == ']') return ++at, true;
        for (;;) {
            // An element's fields are of no use here: kept under a name no
            // lookup asks for.
            if (!value("[]", depth + 1)) return false;
            skipSpace();
            if (at == end) return false;
            if (*at == ']') return ++at, true;
            if (*at++ != ',') return false;
        }
    }

    static int hexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool unit(unsigned& out) {
        if (end - at < 4) return false;
        out = 0;
        for (int i = 0; i < 4; ++i) {
            int digit = hexDigit(*at++);
            if (digit < 0) return false;
            out = out * 16 + unsigned(digit);
        }
        return true;
    }

    static void appendUtf8(std::string& text, unsigned code) {
        if (code < 0x80) {
            text += char(code);
        } else if (code < 0x800) {
            text += char(0xC0 | (code >> 6));
            text += char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            text += char(0xE0 | (code >> 12));
            text += char(0x80 | ((code >> 6) & 0x3F));
            text += char(0x80 | (code & 0x3F));
        } else {
            text += char(0xF0 | (code >> 18));
            text += char(0x80 | ((code >> 12) & 0x3F));
            text += char(0x80 | ((code >> 6) & 0x3F));
            text += char(0x80 | (code & 0x3F));
        }
    }

    bool string(std::string& text) {
        ++at;  // '"'
        while (at != end && *at != '"') {
            if (*at != '\\') {
                text += *at++;
                continue;
            }
            if (++at == end) return false;
            char escaped = *at++;
            switch (escaped) {
            case 'b': text += '\b'; break;
            case 'f': text += '\f'; break;
            case 'n': text += '\n'; break;
            case 'r': text += '\r'; break;
            case 't': text += '\t'; break;
            case 'u': {
                unsigned code = 0;
                if (!unit(code)) return false;
                // A pair makes one character; a lone half shows as U+FFFD.
                if (code >= 0xD800 && code < 0xDC00 && end - at >= 6 && at[0] == '\\' && at[1] == 'u') {
                    const char* back = at;
                    at += 2;
                    unsigned low = 0;
                    if (unit(low) && low >= 0xDC00 && low < 0xE000)
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    else
                        at = back;
                }
                if (code >= 0xD800 && code < 0xE000) code = 0xFFFD;
                appendUtf8(text, code);
                break;
            }
            default: text += escaped; break;  // '"', '\\', '/'
            }
        }
        if (at == end) return false;
        ++at;
        return true;
    }

    const char* at;
    const char* end;
    std::map<std::string, std::string> fields;
};

long long numberOr(const std::string* text, long long fallback) {
    if (text == nullptr || text->empty()) return fallback;
    long long value = 0;
    std::size_t i = 0;
    bool negative = (*text)[0] == '-';
    if (negative) ++i;
    if (i == text->size()) return fallback;
    // Whole seconds and frames; a fraction, if any, is dropped.
    for (; i < text->size() && (*text)[i] >= '0' && (*text)[i] <= '9'; ++i) {
        if (value > 100000000000000LL) return fallback;
        value = value * 10 + ((*text)[i] - '0');
    }
    return negative ? -value : value;
}

String fromUtf8(const std::string& text) {
    std::vector<char16_t> units(text.size() + 1);
    int count = Port::Utf8::decode(text.data(), int(text.size()), units.data(), int(units.size()),
                                   Port::Utf8::BadInput::replace);
    units.resize(std::size_t(count));
    units.push_back(u'\0');
    return String(units.data());
}

String number(long long value) { return String(std::to_string(value).c_str()); }

}  // namespace

bool parseStatusAnswer(const unsigned char* bytes, std::size_t size, NodeStatus& out) {
    if (size < 4 || decodeSignal(bytes) != statusAnswer) return false;
    JsonFields json(reinterpret_cast<const char*>(bytes) + 4, size - 4);
    if (!json.read()) return false;
    NodeStatus status;
    if (const std::string* state = json.find("state")) status.state = *state;
    status.stateSeconds = numberOr(json.find("state_seconds"), -1);
    const std::string* stop = json.find("stop_requested");
    status.stopRequested = stop != nullptr && *stop == "true";
    // A job of null has no fields.
    if (const std::string* master = json.find("job.master")) {
        status.hasJob = true;
        status.master = *master;
        status.frame = numberOr(json.find("job.frame"), -1);
        status.hasDialog = json.find("job.dialog.pid") != nullptr || json.find("job.dialog.title") != nullptr;
    }
    out = status;
    return true;
}

String describeStatus(const NodeStatus& status) {
    String text(u"Node: ");
    std::string state = status.state.empty() ? "running" : status.state;
    for (char& c : state)
        if (c == '_') c = ' ';
    text += fromUtf8(state);
    if (status.stateSeconds >= 0) text += u" for " + number(status.stateSeconds) + u" s";
    if (status.hasJob) {
        text += u", job from " + fromUtf8(status.master);
        if (status.frame >= 0) text += u", frame " + number(status.frame);
    }
    if (status.hasDialog) text += String(u", a renderer dialog waits for a click");
    if (status.stopRequested && status.state != "stopping") text += String(u", stop requested");
    return text;
}

StatusQuery::StatusQuery(std::uint16_t port) : socket(Port::IPv4Address::loopback(0)), port(port) {}

bool StatusQuery::ask() {
    if (!socket.IsOk()) return false;
    unsigned char request[requestBytes] = {};
    encodeSignal(statusRequest, request);
    return socket.SendTo(Port::IPv4Address::loopback(port), request, sizeof request) == int(sizeof request);
}

bool StatusQuery::takeAnswer(NodeStatus& out) {
    bool got = false;
    std::vector<unsigned char> buffer(requestBytes);
    Port::IPv4Address from;
    // A failed receive may only be the report of an earlier request that
    // found no node (Windows tells a datagram's sender so): the queue is
    // read on while something waits, a bounded number of times.
    for (int turn = 0; turn < 64 && socket.WaitForRead(0); ++turn) {
        int n = socket.RecvFrom(from, buffer.data(), buffer.size());
        if (n < 0 || from.port != port) continue;
        NodeStatus status;
        if (parseStatusAnswer(buffer.data(), std::size_t(n), status)) {
            out = status;
            got = true;
        }
    }
    return got;
}

}  // namespace Varnix
