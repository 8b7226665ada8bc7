#pragma once
// Answers the masters' UDP discovery pings on port 19666, on its own thread
// for the whole life of the render service.

#include "core/NodeWindow.h"
#include "core/misc/multithreading/StandbyThread.h"
#include "port/socket.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class DiscoveryReplier : public Varnix::StandbyThread {
public:
    static constexpr std::uint16_t port = 19666;
    static constexpr int pollMilliseconds = 333;
    static constexpr int repliesPerPing = 4;
    // Receive buffer: larger than any UDP datagram over IPv4 (65,507 bytes).
    static constexpr std::size_t maxDatagramBytes = 65536;
    // Receive queue asked of the system for the discovery socket.
    static constexpr int receiveQueueBytes = 1 << 20;

    // Binds the port, starts the thread "MY_DiscoveryReplier" on
    // serveDiscovery and returns while it runs; a port that cannot be bound
    // is logged by the thread, which then ends. Any thread; `window` must
    // outlive the replier.
    explicit DiscoveryReplier(Varnix::NodeWindow* window);

    // Stops the loop if nobody did (within one poll) and joins the thread.
    ~DiscoveryReplier();

    // The loop: binds, then answers pings until stopRequested. The replier's
    // own thread only; `self` is the DiscoveryReplier.
    static void serveDiscovery(void* self);

    Varnix::NodeWindow* window;
    // Set by the owner to end the loop; read by the loop before each receive.
    std::atomic<bool> stopRequested;
    // True when the port was bound at construction. Any thread.
    bool bound() const { return socketBound; }

    // Made by the constructor, then the replier's thread's alone; closed
    // when the loop ends.
    std::unique_ptr<Varnix::Port::DatagramSocket> socket;
    const bool socketBound = socket->IsOk();
};
