#include "ScriptOutput.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <iostream>

namespace Varnix::Peer {

bool writeRawOutput(const std::string& bytes) {
    std::cout.flush();
    std::fflush(stdout);
    // Text mode would put a CR before the 0x0A byte of every UTF-16 line feed.
    const int mode = _setmode(_fileno(stdout), _O_BINARY);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
    const bool flushed = std::fflush(stdout) == 0;
    if (mode != -1) _setmode(_fileno(stdout), mode);
    return written && flushed;
}

}  // namespace Varnix::Peer
