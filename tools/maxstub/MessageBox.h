#pragma once

#include <string>

namespace Varnix::Peer {

// Shows a message box with `title` and `text` (UTF-8) and returns once it is
// dismissed, as a renderer that stops to ask something does. False, at once,
// where the stand-in shows no windows (POSIX).
bool showMessageBox(const std::string& title, const std::string& text);

}  // namespace Varnix::Peer
