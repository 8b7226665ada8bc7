#include "port/selfpath.h"

#include <windows.h>

#include <shellapi.h>

#include <vector>

namespace Varnix::Port {

std::string executableDirectory() {
    std::vector<char> buffer(MAX_PATH * 4);
    const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) return std::string();
    std::string path(buffer.data(), length);
    const size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos) return std::string();
    return path.substr(0, slash);
}

std::vector<std::u16string> programArguments(int, char**) {
    std::vector<std::u16string> arguments;
    int count = 0;
    LPWSTR* split = CommandLineToArgvW(GetCommandLineW(), &count);
    if (split == nullptr) return arguments;
    for (int i = 0; i < count; ++i) arguments.emplace_back(reinterpret_cast<const char16_t*>(split[i]));
    LocalFree(split);
    return arguments;
}

}  // namespace Varnix::Port
