#pragma once

#include <string>
#include <vector>

#include "MasterOptions.h"
#include "StatusQuery.h"

namespace Varnix::Peer {

// Runs "drmaster status": asks the nodes for their state and prints one line
// per node (or the JSON report); with --watch, again every interval until
// Ctrl-C. Returns the exit status of the last round (MasterExit). Main thread.
int runStatus(const StatusOptions& options);

// The cells of a node's line: name, address, state, job, time in state, last
// outcome, attention. Missing or mistyped fields show as "-".
std::vector<std::string> statusCells(const NodeAnswer& node);

}  // namespace Varnix::Peer
