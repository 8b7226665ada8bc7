#pragma once
// Answers the masters' UDP discovery pings on the discovery port, on its own thread
// for the whole life of the render service.

#include "config/StatusAnswerScope.h"
#include "core/LogSink.h"
#include "core/LogTarget.h"
#include "node/NodeState.h"
#include "node/Protocol.h"
#include "node/StatusAnswer.h"
#include "core/misc/multithreading/StandbyThread.h"
#include "port/socket.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace Varnix {

// What status requests are answered from. The board and the log are read
// under their short locks or lock-free; the free space is sampled by
// another thread. Outlives the replier that answers from it.
struct StatusSource {
    const NodeStateBoard* board = nullptr;
    StatusFacts facts;
    // Megabytes free on the data folder's disk; -1: not known (yet).
    std::atomic<std::int64_t> freeDiskMb{-1};
    // Its lines lost; none when null.
    const LogSink* log = nullptr;
    // Senders given an answer; the others' requests are dropped unanswered.
    AddressScope askers;

    // What other threads measured, as of now. Any thread.
    StatusSample sample() const;
};

class DiscoveryReplier : public StandbyThread {
public:
    static constexpr int repliesPerPing = 4;
    // Receive buffer: larger than any UDP datagram over IPv4 (65,507 bytes).
    static constexpr std::size_t maxDatagramBytes = 65536;
    // Receive queue asked of the system for the discovery socket.
    static constexpr int receiveQueueBytes = 1 << 20;

    // Binds `udpPort` (0: any free port), starts the thread
    // "MY_DiscoveryReplier" on serveDiscovery and returns while it runs; a
    // port that cannot be bound is logged by the thread, which then ends.
    // Status requests are answered from `status`; none when null. Any
    // thread; `window` and `status` must outlive the replier.
    DiscoveryReplier(LogTarget* window, std::uint16_t udpPort = discoveryPort, const StatusSource* status = nullptr);

    // Stops the loop if nobody did (within one poll) and joins the thread.
    ~DiscoveryReplier();

    // The loop: binds, then answers pings until stopRequested. The replier's
    // own thread only; `self` is the DiscoveryReplier.
    static void serveDiscovery(void* self);

    LogTarget* window;
    // Set by the owner to end the loop; read by the loop before each receive.
    std::atomic<bool> stopRequested;
    // The port bound at construction; 0 when none could be. Any thread.
    std::uint16_t boundPort() const { return heldPort; }

    // Made by the constructor, then the replier's thread's alone; closed
    // when the loop ends.
    std::unique_ptr<Port::DatagramSocket> socket;
    std::uint16_t askedPort;
    std::uint16_t heldPort = 0;
    const StatusSource* status;
};

}  // namespace Varnix
