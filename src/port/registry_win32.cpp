#include "port/registry.h"

#include <windows.h>

namespace Varnix::Port {

struct RegistryKey::Impl {
    HKEY key;
};

RegistryKey::RegistryKey(const char16_t* path) : impl(nullptr) {
    HKEY key = nullptr;
    LONG result =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(path), 0, KEY_READ | KEY_WOW64_64KEY, &key);
    if (result == ERROR_SUCCESS) impl = new Impl{key};
}

RegistryKey::~RegistryKey() {
    if (impl) {
        RegCloseKey(impl->key);
        delete impl;
    }
}

bool RegistryKey::isOpen() const { return impl != nullptr; }

bool RegistryKey::valueSize(const char16_t* name, std::uint32_t& size) const {
    if (!impl) return false;
    DWORD bytes = 0;
    if (RegQueryValueExW(impl->key, reinterpret_cast<LPCWSTR>(name), nullptr, nullptr, nullptr, &bytes) !=
        ERROR_SUCCESS)
        return false;
    size = bytes;
    return true;
}

bool RegistryKey::readValue(const char16_t* name, void* buffer, std::uint32_t& size) const {
    if (!impl) return false;
    DWORD bytes = size;
    // A value larger than the buffer fails with ERROR_MORE_DATA.
    if (RegQueryValueExW(impl->key, reinterpret_cast<LPCWSTR>(name), nullptr, nullptr, static_cast<LPBYTE>(buffer),
                         &bytes) != ERROR_SUCCESS)
        return false;
    size = bytes;
    return true;
}

}  // namespace Varnix::Port
