#pragma once

#include <chrono>
#include <functional>

#include "port/socket.h"

namespace Varnix::Peer {

// Watches the node's side of the link while the stand-in renders: collects
// END signals (a signal may arrive in pieces) and notices the node's close.
// One thread.
class LinkWatcher {
public:
    // `onEnd` runs once for every END signal, `onOther` for any other 4 bytes.
    LinkWatcher(Port::StreamSocket& socket, std::function<void()> onEnd, std::function<void(uint32_t)> onOther);

    // Takes in whatever the node has sent, waiting up to `period` for it to
    // start arriving. Returns at once when the link is already closed.
    void pollFor(std::chrono::milliseconds period);

    // Polls until `deadline`, or until an END came or the link closed
    // (whichever is first); keeps counting ENDs while it waits.
    void waitUntil(std::chrono::steady_clock::time_point deadline);

    int endCount() const { return ends; }
    bool closed() const { return linkClosed; }

private:
    Port::StreamSocket& socket;
    std::function<void()> onEnd;
    std::function<void(uint32_t)> onOther;
    unsigned char pending[4] = {};
    uint32_t have = 0;
    int ends = 0;
    bool linkClosed = false;
};

}  // namespace Varnix::Peer
