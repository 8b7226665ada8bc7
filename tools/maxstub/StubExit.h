#pragma once

namespace Varnix::Peer {

// Exit statuses of the stand-in. The node ignores them; they tell an admin
// or a test what went wrong.
enum StubExit : int {
    stubOk = 0,              // or the behaviour file's exit_code
    stubBadCommandLine = 1,  // no scene, or a bad frame number
    stubNoScene = 2,         // the scene file does not exist
    stubNoNode = 3,          // no node accepted the link in time
    stubNotANode = 4,        // the peer did not greet as a node, or sent no data directory
    stubOutputFailed = 5,    // the -o: image could not be written
    stubDumpFailed = 6,      // a dump could not be written
};

}  // namespace Varnix::Peer
