#include "core/String.h"

#include "port/encoding.h"

#include <cstring>
#include <new>

namespace Varnix {

String::String(const char* narrowText) {
    assignNarrow(narrowText, static_cast<std::int32_t>(std::strlen(narrowText)), true);
}

String::String(const char16_t* wideText) {
    for (const char16_t* unit = wideText; *unit != 0; ++unit) append(*unit);
}

String::String(const String& other)
    : chars(other.chars), count(other.count), narrow(other.narrow), narrowCount(other.narrowCount) {}

String& String::operator=(const String& other) {
    if (this == &other) return *this;
    if (chars.capacity != other.chars.capacity) chars.resize(other.chars.capacity);
    if (other.chars.capacity > 0)
        std::memcpy(chars.data, other.chars.data, sizeof(char16_t) * static_cast<size_t>(other.chars.capacity));
    count = other.count;
    return *this;
}

String String::fromNarrow(const char* bytes, std::int32_t byteCount) {
    String result;
    if (byteCount > 0) result.assignNarrow(bytes, byteCount, false);
    return result;
}

// Converts narrow text into `chars`. With the terminator the conversion
// counts it, as the Windows call does, so "abc" ends with capacity 4.
void String::assignNarrow(const char* bytes, std::int32_t byteCount, bool withTerminator) {
    std::int32_t input = withTerminator ? byteCount + 1 : byteCount;
    std::int32_t needed = Port::narrowToWide(bytes, input, nullptr, 0);
    reserve(needed);
    std::int32_t converted = Port::narrowToWide(bytes, input, chars.data, chars.capacity);
    count = withTerminator ? (converted > 0 ? converted - 1 : 0) : converted;
}

void String::reserve(std::int32_t needed) {
    if (chars.capacity >= needed) return;
    long long doubled = 2LL * chars.capacity;
    long long size = doubled > needed ? doubled : needed;
    if (size > 2147483647LL) size = 2147483647LL;
    chars.resize(static_cast<std::int32_t>(size));
}

String& String::append(char16_t unit) {
    if (count == 2147483647) throw std::bad_alloc();
    reserve(count + 1);
    chars.data[count++] = unit;
    return *this;
}

String& String::append(const String& other) {
    // Unit by unit, so appending a String to itself sees its original length.
    std::int32_t otherCount = other.count;
    for (std::int32_t i = 0; i < otherCount; ++i) append(other.chars.data[i]);
    return *this;
}

const char16_t* String::wideCString() {
    if (count == 2147483647) throw std::bad_alloc();
    reserve(count + 1);
    chars.data[count] = 0;
    return chars.data;
}

const char* String::toNarrow() {
    wideCString();
    std::int32_t needed = Port::wideToNarrow(chars.data, count + 1, nullptr, 0);
    if (narrow.capacity < needed) {
        long long doubled = 2LL * narrow.capacity;
        long long size = doubled > needed ? doubled : needed;
        if (size > 2147483647LL) size = 2147483647LL;
        narrow.resize(static_cast<std::int32_t>(size));
    }
    narrowCount = needed;
    Port::wideToNarrow(chars.data, count + 1, narrow.data, narrow.capacity);
    return narrow.data;
}

String String::substring(std::int32_t index, std::int32_t length) const {
    String result;
    std::int32_t available = count - index;
    std::int32_t taken = length < available ? length : available;
    for (std::int32_t i = 0; i < taken; ++i) result.append(chars.data[index + i]);
    return result;
}

namespace {

bool isTrimmedSpace(char16_t unit) {
    return unit == u'\n' || unit == u'\t' || unit == u'\v' || unit == u'\f' || unit == u'\r' || unit == u' ';
}

}  // namespace

void String::trim() {
    std::int32_t first = 0;
    while (first < count && isTrimmedSpace(chars.data[first])) ++first;
    if (first == count) {
        count = 0;
        return;
    }
    std::int32_t last = count - 1;
    while (isTrimmedSpace(chars.data[last])) --last;
    String kept = substring(first, last - first + 1);
    chars.swap(kept.chars);
    count = kept.count;
}

void String::erase(std::int32_t index, std::int32_t length) {
    if (index < 0) index = 0;
    if (index > count) index = count;
    if (length > count - index) length = count - index;
    if (length <= 0) return;
    std::memmove(chars.data + index, chars.data + index + length,
                 sizeof(char16_t) * static_cast<size_t>(count - index - length));
    count -= length;
}

void String::replaceAll(char16_t from, char16_t to) {
    for (std::int32_t i = 0; i < count; ++i) {
        if (chars.data[i] == from) chars.data[i] = to;
    }
}

bool operator==(const String& left, const String& right) noexcept {
    if (left.count != right.count) return false;
    for (std::int32_t i = 0; i < left.count; ++i) {
        if (left.chars.data[i] != right.chars.data[i]) return false;
    }
    return true;
}

String operator+(const char* left, const String& right) {
    String result(left);
    result.append(right);
    return result;
}

String operator+(const char16_t* left, const String& right) {
    String result(left);
    result.append(right);
    return result;
}

String operator+(const String& left, const String& right) {
    String result(left);
    result.append(right);
    return result;
}

}  // namespace Varnix
