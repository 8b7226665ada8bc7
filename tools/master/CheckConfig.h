#pragma once

#include <string>

namespace Varnix::Peer {

// "drmaster check-config FILE": reads FILE as a node reads its DrConfig.txt
// and says whether a node would take every line of it. Prints each
// configured release, or what is wrong (the node's own words, with the line
// number); changes nothing. For the installer's /CONFIG= and for admins who
// prepare a file for many machines. Returns a MasterExit status; `report`
// gets the lines to print, each starting with the path. `path` is UTF-8.
// `newestYear` is the newest release the node is to take (its
// newestMaxRelease); 0: as this machine's registry says.
int checkConfig(const char* path, int newestYear, std::string& report);

}  // namespace Varnix::Peer
