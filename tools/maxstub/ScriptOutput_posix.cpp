#include "ScriptOutput.h"

#include <cstdio>
#include <iostream>

namespace Varnix::Peer {

bool writeRawOutput(const std::string& bytes) {
    std::cout.flush();
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
    return std::fflush(stdout) == 0 && written;
}

}  // namespace Varnix::Peer
