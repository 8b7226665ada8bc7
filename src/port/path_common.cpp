#include "port/path.h"

#include "port/encoding.h"

#include <cstring>

namespace Varnix::Port {

std::u16string pathFromSystem(const char* bytes) {
    int count = static_cast<int>(std::strlen(bytes));
    std::u16string path(static_cast<std::size_t>(fileNameToWide(bytes, count, nullptr, 0)), u'\0');
    if (!path.empty()) path.resize(static_cast<std::size_t>(fileNameToWide(bytes, count, &path[0], int(path.size()))));
    return path;
}

std::string narrowPath(const char16_t* path) {
    int units = 0;
    while (path[units]) ++units;
    std::string bytes(static_cast<std::size_t>(wideToFileName(path, units, nullptr, 0)), '\0');
    if (!bytes.empty())
        bytes.resize(static_cast<std::size_t>(wideToFileName(path, units, &bytes[0], int(bytes.size()))));
    return bytes;
}

}  // namespace Varnix::Port
