#pragma once

#include "MasterOptions.h"

namespace Varnix::Peer {

// Runs "drmaster discover": pings, collects the answers for the wait time,
// prints one line per node on standard output and errors on standard error.
// Returns the exit status (MasterExit). Main thread.
int runDiscover(const DiscoverOptions& options);

}  // namespace Varnix::Peer
