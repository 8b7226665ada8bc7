#pragma once

#include "port/notcopyable.h"

#include <cstdint>

// Read-only access to the machine's registry: keys below HKEY_LOCAL_MACHINE,
// always in the 64-bit view. On Windows this is the real registry; elsewhere
// it is a registry file in the format of a regedit export, named by the
// environment variable VARNIX_REGISTRY, else /etc/varnix/registry.reg (a
// missing or unreadable file is an empty registry; lines that cannot be
// understood are skipped).

namespace Varnix::Port {

// One open key. The destructor closes it. Any thread may use its own keys;
// one object is used by one thread at a time. Not copyable.
class RegistryKey : NotCopyable {
public:
    // Opens `path` (NUL-terminated UTF-16, "\" between the names, relative to
    // HKEY_LOCAL_MACHINE) for reading. isOpen() says whether that worked.
    explicit RegistryKey(const char16_t* path);
    ~RegistryKey();

    // True when the key exists and could be opened for reading.
    bool isOpen() const;

    // Stores the byte size of the data of value `name` (NUL-terminated UTF-16)
    // in `size`. False, `size` untouched, when the key is not open or the
    // value does not exist.
    bool valueSize(const char16_t* name, std::uint32_t& size) const;

    // Copies the data of value `name` into `buffer`, which holds `size` bytes,
    // and sets `size` to the bytes written. False, `size` untouched and the
    // buffer's content unspecified, when the key is not open, the value does
    // not exist or its data is larger than `size`. The type is not examined.
    bool readValue(const char16_t* name, void* buffer, std::uint32_t& size) const;

private:
    struct Impl;
    Impl* impl;  // null when the key is not open
};

}  // namespace Varnix::Port
