#pragma once

namespace Varnix::Peer {

// Exit statuses of drmaster, one for every outcome, so that scripts can tell
// them apart. Listed in "drmaster --help" and in the README; never renumber.
enum MasterExit : int {
    kMasterOk = 0,             // discover: every asked node answered; render: the job delivered its dumps
    kMasterUsage = 2,          // bad command line (checked before any connection)
    kMasterUnknownHost = 3,    // a host name could not be resolved
    kMasterUnreachable = 4,    // no TCP connection to the node
    kMasterNoGreeting = 5,     // connected, but no greeting in time (node busy with another job, or not a node)
    kMasterNotANode = 6,       // the peer does not speak the node protocol
    kMasterRefused = 7,        // the node closed without taking the whole scene: version refused
    kMasterTransferCut = 8,    // the connection broke or stalled during the scene upload or a dump
    kMasterLocalFile = 9,      // the scene cannot be read; DIR, a dump file cannot be written; earlier dumps in DIR
    kMasterNoAnswer = 10,      // discover: no node (or not every named node) answered
    kMasterNoImage = 11,       // render: the node ended the job without sending a dump
    kMasterDumpCount = 12,     // render: not the number of dumps that --expect-dumps asked for
    kMasterPingNotSent = 13,   // discover: the ping could not be sent (no route, broadcast refused)
    kMasterInterrupted = 130,  // Ctrl-C before the job started, or a second Ctrl-C
};

// A short stable word for a status, for the JSON report: "ok", "usage",
// "version-refused"... Never null.
inline const char* outcomeName(int status) {
    switch (status) {
        case kMasterOk: return "ok";
        case kMasterUsage: return "usage";
        case kMasterUnknownHost: return "unknown-host";
        case kMasterUnreachable: return "unreachable";
        case kMasterNoGreeting: return "no-greeting";
        case kMasterNotANode: return "not-a-node";
        case kMasterRefused: return "version-refused";
        case kMasterTransferCut: return "transfer-cut";
        case kMasterLocalFile: return "local-file";
        case kMasterNoAnswer: return "no-answer";
        case kMasterNoImage: return "no-image";
        case kMasterDumpCount: return "dump-count";
        case kMasterPingNotSent: return "ping-not-sent";
        case kMasterInterrupted: return "interrupted";
    }
    return "failed";
}

}  // namespace Varnix::Peer
