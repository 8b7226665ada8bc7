#pragma once

namespace Varnix::Peer {

// The complete text of "drmaster --help". The README shows it verbatim.
extern const char* const masterHelpText;

// drmaster's own version, the project's: what "drmaster --version" prints.
extern const char* const masterVersion;

}  // namespace Varnix::Peer
