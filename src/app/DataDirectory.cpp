#include "app/DataDirectory.h"

#include "port/files.h"

#include <vector>

namespace Varnix {

String prepareDataDirectory() {
    std::vector<char> cwd(4096);
    while (!Port::getWorkingDirectory(cwd.data(), cwd.size()) && cwd.size() < (1u << 20)) cwd.resize(cwd.size() * 2);
    String directory = String(cwd.data()) + String(u"/drData/");
    // Already there is the common case; any other failure shows when the log
    // file cannot be opened in it.
    Port::makeDirectory(directory.toNarrow());
    return directory;
}

}  // namespace Varnix
