#include "config/Registry.h"

#include "port/registry.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace Varnix {

namespace {

// Composes code units from little-endian bytes, so no alignment is assumed.
char16_t unitAt(const unsigned char* bytes, std::size_t index) {
    return static_cast<char16_t>(bytes[2 * index] | (bytes[2 * index + 1] << 8));
}

}  // namespace

bool readRegistryString(String keyPath, const char16_t* valueName, String& output) {
    keyPath.replaceAll(u'/', u'\\');
    Port::RegistryKey key(keyPath.wideCString());
    if (!key.isOpen()) return false;
    std::uint32_t size = 0;
    if (!key.valueSize(valueName, size) || size > std::numeric_limits<std::uint32_t>::max() - 2) return false;

    // Room for the value, two bytes more (a value that grew by a terminator
    // since the size query still fits), and the zeros behind the data: three
    // of them, so that data of an odd length still ends in a whole NUL unit.
    std::uint32_t readable = size + 2;
    std::size_t capacity = static_cast<std::size_t>(readable) + 3;
    auto* buffer = static_cast<unsigned char*>(std::malloc(capacity));
    if (!buffer) throw std::bad_alloc();
    std::uint32_t got = readable;
    if (!key.readValue(valueName, buffer, got)) {
        std::free(buffer);
        return false;
    }
    std::memset(buffer + got, 0, 3);

    String text;
    try {
        for (std::size_t i = 0; unitAt(buffer, i) != 0; ++i) text.append(unitAt(buffer, i));
    } catch (...) {
        std::free(buffer);
        throw;
    }
    std::free(buffer);
    output = text;
    return true;
}

bool readRegistryDword(String keyPath, const char16_t* valueName, std::uint32_t& output) {
    keyPath.replaceAll(u'/', u'\\');
    Port::RegistryKey key(keyPath.wideCString());
    if (!key.isOpen()) return false;
    unsigned char bytes[4] = {0, 0, 0, 0};
    std::uint32_t size = sizeof bytes;
    if (!key.readValue(valueName, bytes, size)) return false;
    output = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
             static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    return true;
}

}  // namespace Varnix
