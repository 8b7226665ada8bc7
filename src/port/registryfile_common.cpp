#include "port/registryfile.h"

#include "port/utf8.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// The registry file is text in the format that regedit and "reg export"
// write, so that an admin can copy the keys of a Windows machine:
//
//   Windows Registry Editor Version 5.00
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Autodesk\3dsMax\16.0]
//   "Installdir"="C:\\Program Files\\Autodesk\\3ds Max 2014\\"
//   "Count"=dword:0000002a
//   "Path"=hex(2):25,00,50,00,00,00
//
// Nothing in it can make the node fail: a line that cannot be understood is
// skipped, and so is a value whose data is malformed or cut short.

namespace Varnix::Port::RegistryFile {

std::u16string fold(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}

namespace {

// A physical line longer than this is skipped unread; it protects the node
// from a file of junk without line ends. Real exports stay far below it.
constexpr std::size_t maxLineUnits = 16u << 20;
// Limit of one value's text, continuation lines included.
constexpr std::size_t maxValueUnits = 64u << 20;

bool isBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\v' || c == u'\f'; }

std::u16string trim(const std::u16string& text) {
    std::size_t first = 0, last = text.size();
    while (first < last && isBlank(text[first])) ++first;
    while (last > first && isBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Parses 1 to `maxDigits` hex digits making up all of `text`.
bool parseHexNumber(const std::u16string& text, std::size_t maxDigits, std::uint32_t& number) {
    if (text.empty() || text.size() > maxDigits) return false;
    std::uint32_t result = 0;
    for (char16_t c : text) {
        int digit = hexDigit(c);
        if (digit < 0) return false;
        result = (result << 4) | static_cast<std::uint32_t>(digit);
    }
    number = result;
    return true;
}

void appendUtf16Le(std::vector<unsigned char>& bytes, char16_t unit) {
    bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
    bytes.push_back(static_cast<unsigned char>(unit >> 8));
}

// Reads the physical lines of the file, decoded to UTF-16, without their line
// feed and a carriage return before it.
class LineSource {
public:
    explicit LineSource(const Reader& read) : read(read) {
        unsigned char bom[3];
        std::size_t got = 0;
        for (int c; got < 3 && (c = getRaw()) != EOF;) bom[got++] = static_cast<unsigned char>(c);
        if (got >= 2 && bom[0] == 0xFF && bom[1] == 0xFE) {
            utf16 = true;
            pending.assign(bom + 2, bom + got);
        } else if (got == 3 && bom[0] == 0xEF && bom[1] == 0xBB && bom[2] == 0xBF) {
            // UTF-8 with a byte-order mark: nothing left over.
        } else {
            pending.assign(bom, bom + got);
        }
    }

    // False at the end of the file. `overlong` tells that the line was longer
    // than maxLineUnits; `line` is then empty.
    bool next(std::u16string& line, bool& overlong) {
        line.clear();
        overlong = false;
        return utf16 ? nextUtf16(line, overlong) : nextUtf8(line, overlong);
    }

private:
    // The next byte from the reader, refilling the buffer; EOF at the end.
    int getRaw() {
        if (bufferPos == bufferEnd) {
            if (ended) return EOF;
            bufferPos = 0;
            bufferEnd = read(buffer.data(), buffer.size());
            if (bufferEnd == 0) {
                ended = true;
                return EOF;
            }
        }
        return buffer[bufferPos++];
    }

    int getByte() {
        if (pendingPos < pending.size()) return pending[pendingPos++];
        return getRaw();
    }

    bool nextUtf16(std::u16string& line, bool& overlong) {
        bool any = false;
        for (;;) {
            int low = getByte();
            if (low == EOF) break;
            int high = getByte();
            if (high == EOF) break;  // an odd byte at the end is a cut-off unit
            any = true;
            char16_t unit = static_cast<char16_t>(low | (high << 8));
            if (unit == u'\n') break;
            if (line.size() < maxLineUnits)
                line.push_back(unit);
            else
                overlong = true;
        }
        finishLine(line, overlong);
        return any;
    }

    bool nextUtf8(std::u16string& line, bool& overlong) {
        bytes.clear();
        bool any = false;
        for (;;) {
            int c = getByte();
            if (c == EOF) break;
            any = true;
            if (c == '\n') break;
            if (bytes.size() < maxLineUnits)
                bytes.push_back(static_cast<unsigned char>(c));
            else
                overlong = true;
        }
        decodeUtf8(line);
        finishLine(line, overlong);
        return any;
    }

    static void finishLine(std::u16string& line, bool overlong) {
        if (overlong)
            line.clear();
        else if (!line.empty() && line.back() == u'\r')
            line.pop_back();
    }

    // Bad bytes become U+FFFD, as in any other narrow text.
    void decodeUtf8(std::u16string& line) const {
        int size = static_cast<int>(bytes.size());
        const char* text = reinterpret_cast<const char*>(bytes.data());
        line.resize(static_cast<std::size_t>(Utf8::decode(text, size, nullptr, 0, Utf8::BadInput::replace)));
        if (!line.empty()) Utf8::decode(text, size, &line[0], static_cast<int>(line.size()), Utf8::BadInput::replace);
    }

    const Reader& read;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(65536);
    std::size_t bufferPos = 0, bufferEnd = 0;
    bool ended = false;
    bool utf16 = false;
    std::vector<unsigned char> pending;
    std::size_t pendingPos = 0;
    std::vector<unsigned char> bytes;
};

class Parser {
public:
    Parser(LineSource& source, Keys& keys) : source(source), keys(keys) {}

    void run() {
        std::u16string line;
        bool overlong;
        while (source.next(line, overlong))
            if (!overlong) parseLine(trim(line));
    }

private:
    void parseLine(const std::u16string& text) {
        if (text.empty() || text[0] == u';') return;
        if (text[0] == u'[')
            parseSection(text);
        else if (text[0] == u'"' || text[0] == u'@')
            parseValue(text);
        // Anything else (the header line, junk) carries nothing.
    }

    void parseSection(const std::u16string& text) {
        inSection = false;  // a bad header must not let values fall into the previous key
        if (text.size() < 2 || text.back() != u']') return;
        std::u16string inner = text.substr(1, text.size() - 2);
        bool remove = !inner.empty() && inner[0] == u'-';
        if (remove) inner.erase(0, 1);
        std::size_t slash = inner.find(u'\\');
        std::u16string root = fold(inner.substr(0, slash));
        if (root != u"HKEY_LOCAL_MACHINE" && root != u"HKLM") return;
        std::u16string path = slash == std::u16string::npos ? std::u16string() : fold(inner.substr(slash + 1));
        while (!path.empty() && path.back() == u'\\') path.pop_back();  // a hand-written "[...\Key\]" means Key
        if (remove) {
            removeTree(path);
            return;
        }
        section = &keys[path];
        inSection = true;
    }

    void removeTree(const std::u16string& path) {
        if (path.empty()) {
            keys.clear();
            return;
        }
        keys.erase(path);
        std::u16string prefix = path + u'\\';
        auto it = keys.lower_bound(prefix);
        while (it != keys.end() && it->first.compare(0, prefix.size(), prefix) == 0) it = keys.erase(it);
    }

    // Parses a "quoted" text with \\ and \" escapes starting at text[pos];
    // pos ends behind the closing quote.
    static bool parseQuoted(const std::u16string& text, std::size_t& pos, std::u16string& out) {
        if (pos >= text.size() || text[pos] != u'"') return false;
        ++pos;
        out.clear();
        while (pos < text.size()) {
            char16_t c = text[pos++];
            if (c == u'"') return true;
            if (c == u'\\' && pos < text.size() && (text[pos] == u'\\' || text[pos] == u'"')) c = text[pos++];
            out.push_back(c);
        }
        return false;  // no closing quote
    }

    static void skipBlanks(const std::u16string& text, std::size_t& pos) {
        while (pos < text.size() && isBlank(text[pos])) ++pos;
    }

    static bool startsWithFolded(const std::u16string& text, std::size_t pos, const std::u16string& word) {
        return text.size() - pos >= word.size() && fold(text.substr(pos, word.size())) == word;
    }

    void parseValue(const std::u16string& text) {
        std::u16string name;
        std::size_t pos = 0;
        if (text[0] == u'@') {
            pos = 1;
        } else if (!parseQuoted(text, pos, name)) {
            return;
        }
        skipBlanks(text, pos);
        if (pos >= text.size() || text[pos] != u'=') return;
        ++pos;
        skipBlanks(text, pos);

        Value value;
        std::u16string rest = text.substr(pos);
        if (rest == u"-") {
            if (inSection) section->erase(fold(name));
            return;
        }
        if (!rest.empty() && rest[0] == u'"') {
            std::u16string data;
            std::size_t at = 0;
            if (!parseQuoted(rest, at, data) || !trim(rest.substr(at)).empty()) return;
            value.type = typeString;
            for (char16_t c : data) appendUtf16Le(value.data, c);
            appendUtf16Le(value.data, 0);  // regedit stores the terminator with the text
        } else if (startsWithFolded(rest, 0, u"DWORD:")) {
            std::uint32_t number;
            if (!parseHexNumber(rest.substr(6), 8, number)) return;
            value.type = typeDword;
            for (int k = 0; k < 4; ++k) value.data.push_back(static_cast<unsigned char>(number >> (8 * k)));
        } else if (startsWithFolded(rest, 0, u"HEX")) {
            // Read the continuation lines even when the start is bad, so
            // that they are not taken for lines of their own.
            bool complete = collectContinuation(rest);
            if (!complete || !parseHexValue(rest, value)) return;
        } else {
            return;
        }
        if (inSection) (*section)[fold(name)] = std::move(value);
    }

    // Joins the lines of a value that end in a backslash with the next one.
    // False when the file ends inside the value or the value is too long.
    bool collectContinuation(std::u16string& text) {
        bool good = true;
        std::u16string line;
        bool overlong;
        while (!text.empty() && text.back() == u'\\') {
            text.pop_back();
            if (!source.next(line, overlong)) return false;  // cut off in the middle of the value
            if (overlong) return false;                      // where it ends is unknown; what follows is parsed afresh
            std::u16string part = trim(line);
            if (!good || text.size() + part.size() > maxValueUnits) {
                good = false;  // keep consuming the value's lines, drop their text
                text = part;
            } else {
                text += part;
            }
        }
        return good;
    }

    // "hex:" or "hex(type):" followed by comma-separated bytes.
    static bool parseHexValue(const std::u16string& text, Value& value) {
        std::size_t pos = 3;
        std::uint32_t type = typeBinary;
        if (pos < text.size() && text[pos] == u'(') {
            std::size_t close = text.find(u')', pos);
            if (close == std::u16string::npos || !parseHexNumber(text.substr(pos + 1, close - pos - 1), 8, type))
                return false;
            pos = close + 1;
        }
        if (pos >= text.size() || text[pos] != u':') return false;
        ++pos;
        value.type = type;
        std::u16string list = trim(text.substr(pos));
        if (list.empty()) return true;
        std::size_t start = 0;
        for (;;) {
            std::size_t comma = list.find(u',', start);
            std::u16string token =
                trim(list.substr(start, comma == std::u16string::npos ? std::u16string::npos : comma - start));
            std::uint32_t byte;
            if (!parseHexNumber(token, 2, byte)) return false;
            value.data.push_back(static_cast<unsigned char>(byte));
            if (comma == std::u16string::npos) return true;
            start = comma + 1;
        }
    }

    LineSource& source;
    Keys& keys;
    bool inSection = false;
    Values* section = nullptr;
};

}  // namespace

Keys parse(const Reader& read) {
    Keys keys;
    LineSource source(read);
    Parser(source, keys).run();
    return keys;
}

Keys parse(const void* bytes, std::size_t size) {
    const unsigned char* next = static_cast<const unsigned char*>(bytes);
    std::size_t left = size;
    return parse([&](unsigned char* buffer, std::size_t capacity) {
        std::size_t count = left < capacity ? left : capacity;
        if (count > 0) std::memcpy(buffer, next, count);
        next += count;
        left -= count;
        return count;
    });
}

bool keyExists(const Keys& keys, const std::u16string& path) {
    if (path.empty() || keys.count(path)) return true;
    std::u16string prefix = path + u'\\';
    auto it = keys.lower_bound(prefix);
    return it != keys.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace Varnix::Port::RegistryFile
