#pragma once
// The DNS names of peers (masters, pinging machines) for log lines
// ("Accepted remote connection from ...", "Replying to discovery ping from
// ..."). A reverse lookup can take many seconds when the name server is slow
// or silent; it must never hold up a discovery reply or a job. So lookups run
// on a thread of their own, their results are kept for a while, and a caller
// waits for one only briefly: it gets the name when it came in time, else the
// dotted address. ("Host" in this code means 3ds Max: HostListener.)

#include "port/socket.h"

#include <functional>
#include <memory>
#include <string>

namespace Varnix {

class PeerNames {
public:
    // The system's reverse lookup: the name, or the dotted address.
    using Resolver = std::function<std::string(const Port::IPv4Address&)>;

    // How long nameFor waits for a lookup it has just started.
    static constexpr int defaultWaitMs = 250;
    // Lookups waiting for the lookup thread; more are not queued (their
    // callers get the dotted address).
    static constexpr std::size_t maxQueued = 64;
    // Addresses whose result is kept; the cache is emptied when full.
    static constexpr std::size_t maxCached = 4096;
    // How long a result is kept.
    static constexpr long long keepMs = 10 * 60 * 1000;

    // The process-wide instance, over the system resolver. Any thread.
    static PeerNames& shared();

    // An instance over `resolver`, which runs on the lookup thread only.
    explicit PeerNames(Resolver resolver);
    // Does not wait for a lookup in progress: the lookup thread finishes it
    // alone and then ends.
    ~PeerNames();
    PeerNames(const PeerNames&) = delete;
    PeerNames& operator=(const PeerNames&) = delete;

    // The name of `address` (its port is ignored) for a log line: a kept
    // result at once; otherwise the lookup is queued, and waited for at most
    // `waitMs` only when the lookup thread was free to start it at once.
    // The dotted address when no name came in time. Never throws; any thread.
    std::string nameFor(const Port::IPv4Address& address, int waitMs = defaultWaitMs);

private:
    struct State;
    static void lookupLoop(void* state);

    std::shared_ptr<State> state;
};

}  // namespace Varnix
