#pragma once
// The node's status answer as the companion window reads it: a request on
// the discovery port of this machine, and the few fields of the answer it
// shows. The answer's whole format is in docs/protocol.md.

#include "core/String.h"
#include "node/Protocol.h"
#include "port/notcopyable.h"
#include "port/socket.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace Varnix {

// What the companion shows of a status answer; fields the answer lacks keep
// these values.
struct NodeStatus {
    std::string state;  // "idle", "rendering", ...
    long long stateSeconds = -1;
    bool stopRequested = false;
    bool hasJob = false;
    std::string master;  // the job's master's address
    long long frame = -1;
    bool hasDialog = false;  // a box of the renderer waits for a click
};

// Reads an answer datagram (the signal, then the JSON object). False when it
// is not one: another signal, or text that is not a JSON object. Strings are
// kept as UTF-8. Never throws but std::bad_alloc.
bool parseStatusAnswer(const unsigned char* bytes, std::size_t size, NodeStatus& out);

// The status in one line for the window, e.g. "Node service: rendering frame
// 12 for 192.168.1.5 (40 s)".
String describeStatus(const NodeStatus& status);

// Asks the node on this machine for its status without ever waiting: ask()
// sends a request, takeAnswer() takes what came since. One thread (the
// window's timer).
class StatusQuery : Port::NotCopyable {
public:
    // The longest answer asked for, as a master asks: one Ethernet frame.
    static constexpr std::size_t requestBytes = 1400;

    // A socket of its own on a free loopback port; `port` is the node's.
    explicit StatusQuery(std::uint16_t port = discoveryPort);

    // Sends one request to 127.0.0.1. False when the socket could not be
    // made or the send failed.
    bool ask();

    // True, with `out` filled from the newest answer, when one came from the
    // node's port since the last call; anything else is dropped.
    bool takeAnswer(NodeStatus& out);

private:
    Port::DatagramSocket socket;
    std::uint16_t port;
};

}  // namespace Varnix
