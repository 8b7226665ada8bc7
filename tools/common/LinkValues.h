#pragma once

#include "node/Protocol.h"

// The link's values and their byte order come from the protocol header; its
// names are found from Varnix::Peer as they are.
