#pragma once

#include <string>

namespace Varnix::Peer {

// Writes `text` (UTF-8) and a line end to standard output as UTF-16LE, the
// way 3ds Max 2016 and later write what scene scripts and plug-ins print,
// between the renderer's own lines in the code page. Flushes what was
// written before. False when the bytes could not be written.
bool writeScriptOutput(const std::string& text);

// Writes `bytes` to standard output as they are (no line-end translation),
// after what std::cout holds. False on failure.
bool writeRawOutput(const std::string& bytes);

}  // namespace Varnix::Peer
