#include "port/selfpath.h"

#include <unistd.h>

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

}  // namespace Varnix::Port
