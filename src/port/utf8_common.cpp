#include "port/utf8.h"

// Our own code, so that the result never depends on the process locale.

namespace Varnix::Port::Utf8 {
namespace {

constexpr char16_t replacementCharacter = 0xFFFD;

// Decodes one code point at text[i] (i < end). Returns the code point, or -1
// for an ill-formed sequence (`i` is then somewhere inside it). Encoded
// surrogates count as ill-formed unless `surrogates`.
long decodeOne(const unsigned char* text, int end, int& i, bool surrogates) {
    unsigned char lead = text[i++];
    if (lead < 0x80) return lead;
    int needed;
    long codePoint;
    unsigned char lower = 0x80, upper = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        needed = 1;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        needed = 2;
        codePoint = lead & 0x0F;
        if (lead == 0xE0) lower = 0xA0;  // no overlong forms
        if (lead == 0xED && !surrogates) upper = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        needed = 3;
        codePoint = lead & 0x07;
        if (lead == 0xF0) lower = 0x90;
        if (lead == 0xF4) upper = 0x8F;  // nothing above U+10FFFF
    } else {
        return -1;
    }
    for (int k = 0; k < needed; ++k) {
        if (i >= end || text[i] < lower || text[i] > upper) return -1;
        codePoint = (codePoint << 6) | (text[i++] & 0x3F);
        lower = 0x80;
        upper = 0xBF;
    }
    return codePoint;
}

// Lone surrogates that stand for one undecodable byte of a file name.
constexpr char16_t firstEscape = 0xDC80;
constexpr char16_t lastEscape = 0xDCFF;

// Where a DrConfig.txt's bad bytes go: U+100000 plus the byte.
constexpr long firstKeptByte = 0x100000;
constexpr long lastKeptByte = 0x1000FF;

}  // namespace

int decode(const char* text, int byteCount, char16_t* out, int outCapacity, BadInput bad) {
    bool escapeBytes = bad == BadInput::escape;
    bool keepBytes = bad == BadInput::keepBytes;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    int written = 0;
    auto put = [&](char16_t unit) {
        if (out != nullptr) {
            if (written >= outCapacity) return false;
            out[written] = unit;
        }
        ++written;
        return true;
    };
    int i = 0;
    while (i < byteCount) {
        int start = i;
        long codePoint = decodeOne(bytes, byteCount, i, keepBytes);
        if (keepBytes && codePoint >= firstKeptByte && codePoint <= lastKeptByte) codePoint = -1;
        bool ok;
        if (codePoint < 0) {
            // The first byte only, in text as in file names, so that the same
            // bytes give the same number of characters either way; the bytes
            // after it are looked at afresh.
            i = start + 1;
            if (keepBytes) codePoint = firstKeptByte + bytes[start];
        }
        if (codePoint < 0) {
            ok = put(escapeBytes ? static_cast<char16_t>(0xDC00 + bytes[start]) : replacementCharacter);
        } else if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            ok = put(static_cast<char16_t>(0xD800 + (codePoint >> 10))) &&
                 put(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
        } else {
            ok = put(static_cast<char16_t>(codePoint));
        }
        if (!ok) return 0;
    }
    return written;
}

int encode(const char16_t* text, int unitCount, char* out, int outCapacity, BadInput bad) {
    bool escapeBytes = bad == BadInput::escape;
    int written = 0;
    char encoded[4];
    for (int i = 0; i < unitCount; ++i) {
        unsigned long codePoint = text[i];
        bool escapedByte = false;
        if (codePoint >= 0xD800 && codePoint <= 0xDBFF && i + 1 < unitCount && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (escapeBytes && codePoint >= firstEscape && codePoint <= lastEscape) {
            codePoint -= 0xDC00;  // the byte it was decoded from
            escapedByte = true;
        } else if (codePoint >= 0xD800 && codePoint <= 0xDFFF) {
            codePoint = '?';  // a lone surrogate has no UTF-8 form
        }
        int size;
        if (escapedByte) {
            encoded[0] = static_cast<char>(codePoint);
            size = 1;
        } else if (codePoint < 0x80) {
            encoded[0] = static_cast<char>(codePoint);
            size = 1;
        } else if (codePoint < 0x800) {
            encoded[0] = static_cast<char>(0xC0 | (codePoint >> 6));
            encoded[1] = static_cast<char>(0x80 | (codePoint & 0x3F));
            size = 2;
        } else if (codePoint < 0x10000) {
            encoded[0] = static_cast<char>(0xE0 | (codePoint >> 12));
            encoded[1] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            encoded[2] = static_cast<char>(0x80 | (codePoint & 0x3F));
            size = 3;
        } else {
            encoded[0] = static_cast<char>(0xF0 | (codePoint >> 18));
            encoded[1] = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
            encoded[2] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            encoded[3] = static_cast<char>(0x80 | (codePoint & 0x3F));
            size = 4;
        }
        if (out != nullptr) {
            if (written + size > outCapacity) return 0;
            for (int k = 0; k < size; ++k) out[written + k] = encoded[k];
        }
        written += size;
    }
    return written;
}

}  // namespace Varnix::Port::Utf8
