#pragma once

#include "MasterOptions.h"

namespace Varnix::Peer {

// Runs "drmaster render": one job on one node, from the greeting to the
// node's close. Progress goes to standard output, one error line to standard
// error. Returns the exit status (MasterExit). Expects Port::catchInterrupts
// to have been called, so that Ctrl-C sends END. Main thread.
int runRenderSession(const RenderOptions& options);

}  // namespace Varnix::Peer
