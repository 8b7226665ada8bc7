#pragma once

#include "core/Buffer.h"

#include <cstdint>
#include <string>

namespace Varnix {

// The program's text: UTF-16 code units, plus a narrow copy (ANSI code page
// on Windows, UTF-8 elsewhere) made on demand. Storage grows to
// max(2 x capacity, needed). Allocation failures throw std::bad_alloc and
// leave the text unchanged. No internal locking: one thread at a time.
class String {
public:
    String() noexcept = default;             // empty, allocates nothing
    String(const char* narrowText);          // NUL-terminated narrow text
    String(const char16_t* wideText);        // NUL-terminated UTF-16
    String(const String& other);             // deep copy, narrow cache included
    String& operator=(const String& other);  // copies the text, not the cache
    ~String() = default;

    // Builds from `byteCount` narrow bytes (no terminator needed).
    static String fromNarrow(const char* bytes, std::int32_t byteCount);

    std::int32_t length() const noexcept { return count; }
    // Units the storage holds (growth is observable: "abc" has capacity 4).
    std::int32_t capacity() const noexcept { return chars.capacity; }
    bool isEmpty() const noexcept { return count == 0; }

    // Length 0; keeps the storage.
    void clear() noexcept { count = 0; }

    // Exchanges text, storage and narrow cache with `other` in constant
    // time; never fails.
    void swap(String& other) noexcept {
        chars.swap(other.chars);
        narrow.swap(other.narrow);
        std::int32_t c = count;
        count = other.count;
        other.count = c;
        c = narrowCount;
        narrowCount = other.narrowCount;
        other.narrowCount = c;
    }

    // 0 <= index < length().
    char16_t operator[](std::int32_t index) const { return chars.data[index]; }
    char16_t& operator[](std::int32_t index) { return chars.data[index]; }

    String& append(char16_t unit);
    String& append(const String& other);
    String& operator+=(char16_t unit) { return append(unit); }
    String& operator+=(const String& other) { return append(other); }

    // The units followed by a stored 0; valid until the next change.
    const char16_t* wideCString();

    // Refreshes the narrow cache and returns it, NUL-terminated; valid until
    // the next call or change.
    const char* toNarrow();
    // Bytes written by the last toNarrow, terminating NUL included.
    std::int32_t narrowLength() const noexcept { return narrowCount; }

    // min(count, length - index) units from index; 0 <= index <= length.
    String substring(std::int32_t index, std::int32_t count) const;
    // Removes leading and trailing "\n\t\v\f\r " in place.
    void trim();
    // Removes up to `count` units from index (clamped) in place.
    void erase(std::int32_t index, std::int32_t count = 2147483647);
    // Replaces every `from` by `to` in place.
    void replaceAll(char16_t from, char16_t to);

    // Same code units (the capacities and narrow caches may differ).
    friend bool operator==(const String& left, const String& right) noexcept;
    friend bool operator!=(const String& left, const String& right) noexcept { return !(left == right); }

private:
    void reserve(std::int32_t needed);
    void assignNarrow(const char* bytes, std::int32_t byteCount, bool withTerminator);

    Buffer<char16_t> chars;
    std::int32_t count = 0;
    Buffer<char> narrow;
    std::int32_t narrowCount = 0;
};

String operator+(const char* left, const String& right);
String operator+(const char16_t* left, const String& right);
String operator+(const String& left, const String& right);

}  // namespace Varnix
