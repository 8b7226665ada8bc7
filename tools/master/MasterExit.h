#pragma once

namespace Varnix::Peer {

// Exit statuses of drmaster, one for every outcome, so that scripts can tell
// them apart. Listed in "drmaster --help" and in the README; never renumber.
enum MasterExit : int {
    masterOk = 0,             // discover, status: every asked node answered; render: the job delivered its dumps
    masterUsage = 2,          // bad command line (checked before any connection)
    masterUnknownHost = 3,    // a host name could not be resolved
    masterUnreachable = 4,    // no TCP connection to the node
    masterNoGreeting = 5,     // no greeting in time, or closed while busy with another master's job (or not a node)
    masterNotANode = 6,       // the peer does not speak the node protocol
    masterRefused = 7,        // the node closed without taking the whole scene: version refused
    masterTransferCut = 8,    // the connection broke or stalled during the scene upload or a dump
    masterLocalFile = 9,      // the scene cannot be read; DIR, a dump file cannot be written; earlier dumps in DIR
    masterNoAnswer = 10,      // discover, status: no node (or not every named node) answered
    masterNoImage = 11,       // render: the node ended the job without sending a dump
    masterDumpCount = 12,     // render: not the number of dumps that --expect-dumps asked for
    masterPingNotSent = 13,   // discover, status: the ping or request could not be sent (no route, broadcast refused)
    masterDumpNotWhole = 14,  // render: a dump came whole but its EXR data ends early (cut on the node's disk)
    masterBadConfig = 15,     // check-config: a node would not take every line of the file (or none is there)
    masterBadAnswer = 16,     // status: a node answered with a status that is no readable JSON object
    masterNoServe = 17,       // farm: the page's address cannot be served (taken, or not this machine's)
    masterInterrupted = 130,  // Ctrl-C before the job started, or a second Ctrl-C
};

// A short stable word for a status, for the JSON report: "ok", "usage",
// "version-refused"... Never null.
inline const char* outcomeName(int status) {
    switch (status) {
    case masterOk: return "ok";
    case masterUsage: return "usage";
    case masterUnknownHost: return "unknown-host";
    case masterUnreachable: return "unreachable";
    case masterNoGreeting: return "no-greeting";
    case masterNotANode: return "not-a-node";
    case masterRefused: return "version-refused";
    case masterTransferCut: return "transfer-cut";
    case masterLocalFile: return "local-file";
    case masterNoAnswer: return "no-answer";
    case masterNoImage: return "no-image";
    case masterDumpCount: return "dump-count";
    case masterPingNotSent: return "ping-not-sent";
    case masterDumpNotWhole: return "dump-not-whole";
    case masterBadConfig: return "bad-config";
    case masterBadAnswer: return "bad-answer";
    case masterNoServe: return "cannot-serve";
    case masterInterrupted: return "interrupted";
    }
    return "failed";
}

}  // namespace Varnix::Peer
