#pragma once

namespace Varnix::Peer {

// The complete text of "drmaster --help".
extern const char* const kMasterHelpText;

}  // namespace Varnix::Peer
