#pragma once

namespace Varnix::Peer {

// The complete text of "drmaster --help". The README shows it verbatim.
extern const char* const kMasterHelpText;

// drmaster's own version, the project's: what "drmaster --version" prints.
extern const char* const kMasterVersion;

}  // namespace Varnix::Peer
