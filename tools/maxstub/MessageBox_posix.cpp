#include "MessageBox.h"

namespace Varnix::Peer {

bool showMessageBox(const std::string&, const std::string&) { return false; }

}  // namespace Varnix::Peer
