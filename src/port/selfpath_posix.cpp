#include "port/selfpath.h"

#include "port/encoding.h"

#include <unistd.h>

#include <cstring>

#include <vector>

namespace Varnix::Port {

std::string executableDirectory() {
    std::vector<char> buffer(4096);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<size_t>(length) >= buffer.size()) return std::string();
    std::string path(buffer.data(), static_cast<size_t>(length));
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return std::string();
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::vector<std::u16string> programArguments(int argc, char** argv) {
    std::vector<std::u16string> arguments;
    for (int i = 0; i < argc; ++i) {
        int bytes = int(std::strlen(argv[i])) + 1;
        std::u16string wide(std::size_t(fileNameToWide(argv[i], bytes, nullptr, 0)), u'\0');
        if (!wide.empty()) wide.resize(std::size_t(fileNameToWide(argv[i], bytes, &wide[0], int(wide.size())) - 1));
        arguments.push_back(wide);
    }
    return arguments;
}

}  // namespace Varnix::Port
