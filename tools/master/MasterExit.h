#pragma once

namespace Varnix::Peer {

// Exit statuses of drmaster, one for every kind of failure, so that scripts
// can tell them apart. Listed in "drmaster --help".
enum MasterExit : int {
    kMasterOk = 0,             // discover: every asked node answered; render: the job ran and the node closed
    kMasterUsage = 2,          // bad command line
    kMasterUnknownHost = 3,    // a host name could not be resolved
    kMasterUnreachable = 4,    // no TCP connection to the node
    kMasterNoGreeting = 5,     // connected, but no greeting in time (node busy with another job, or not a node)
    kMasterNotANode = 6,       // the peer does not speak the node protocol
    kMasterRefused = 7,        // the node closed right after the job parameters: version not supported
    kMasterTransferCut = 8,    // the connection broke or stalled during the scene upload or a dump
    kMasterLocalFile = 9,      // the scene cannot be read, or DIR or a dump file cannot be written
    kMasterNoAnswer = 10,      // discover: no node (or not every named node) answered
    kMasterInterrupted = 130,  // Ctrl-C before the job started, or a second Ctrl-C
};

}  // namespace Varnix::Peer
