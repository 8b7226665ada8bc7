#include "node/PeerNames.h"

#include "port/clock.h"
#include "port/thread.h"

#include <deque>
#include <map>
#include <set>

namespace Varnix {

using Port::IPv4Address;

namespace {

constexpr int lookupThreadStackSize = 1048576;  // the resolver may need much of it

struct Result {
    std::string name;
    long long keptUntil;
};

}  // namespace

struct PeerNames::State {
    Resolver resolver;
    Port::Mutex lock;
    Port::ConditionVariable changed;
    std::map<std::uint32_t, Result> cache GUARDED_BY(lock);
    std::deque<std::uint32_t> queue GUARDED_BY(lock);
    std::set<std::uint32_t> queued GUARDED_BY(lock);  // in the queue or being looked up
    bool threadStarted GUARDED_BY(lock) = false;
    bool busy GUARDED_BY(lock) = false;      // the lookup thread is inside the resolver
    bool stopping GUARDED_BY(lock) = false;  // the owner is gone
    // The thread's own reference, which keeps the state alive after the
    // owner is gone; released by the thread as it ends.
    std::shared_ptr<State> self;
};

PeerNames& PeerNames::shared() {
    // Never destroyed: the lookup thread may still be inside the resolver
    // when the process ends.
    static PeerNames* instance = new PeerNames([](const IPv4Address& address) { return address.hostname(); });
    return *instance;
}

PeerNames::PeerNames(Resolver resolver) : state(std::make_shared<State>()) { state->resolver = std::move(resolver); }

PeerNames::~PeerNames() {
    Port::MutexLock guard(state->lock);
    state->stopping = true;
    state->changed.wakeAll();
}

void PeerNames::lookupLoop(void* argument) {
    State* s = static_cast<State*>(argument);
    std::shared_ptr<State> keep;
    {
        Port::MutexLock guard(s->lock);
        keep.swap(s->self);
    }
    for (;;) {
        std::uint32_t host = 0;
        {
            Port::MutexLock guard(s->lock);
            while (s->queue.empty() && !s->stopping) s->changed.wait(s->lock);
            if (s->stopping) return;
            host = s->queue.front();
            s->queue.pop_front();
            s->busy = true;
        }
        std::string name;
        try {
            name = s->resolver(IPv4Address{host, 0});
        } catch (...) {
            name = IPv4Address{host, 0}.dotted();
        }
        Port::MutexLock guard(s->lock);
        s->busy = false;
        s->queued.erase(host);
        if (s->cache.size() >= maxCached) s->cache.clear();
        s->cache[host] = Result{name, Port::elapsedMilliseconds() + keepMs};
        s->changed.wakeAll();
    }
}

std::string PeerNames::nameFor(const IPv4Address& address, int waitMs) {
    std::uint32_t host = address.host;
    std::string dotted = IPv4Address{host, 0}.dotted();
    try {
        State* s = state.get();
        Port::MutexLock guard(s->lock);
        long long now = Port::elapsedMilliseconds();
        auto kept = s->cache.find(host);
        if (kept != s->cache.end()) {
            if (kept->second.keptUntil > now) return kept->second.name;
            s->cache.erase(kept);
        }
        if (s->queued.count(host)) return dotted;  // someone else started it: no second wait
        if (s->queue.size() >= maxQueued) return dotted;
        // Waiting only makes sense when the lookup starts at once; a thread
        // stuck in a silent resolver makes every caller use the address.
        bool startsAtOnce = !s->busy && s->queue.empty();
        s->queue.push_back(host);
        s->queued.insert(host);
        if (!s->threadStarted) {
            s->self = state;
            Port::ThreadHandle thread = Port::createThread(&PeerNames::lookupLoop, s, lookupThreadStackSize);
            if (!thread) {
                s->self.reset();
                s->queue.pop_back();
                s->queued.erase(host);
                return dotted;
            }
            Port::nameThread(thread, "MY_PeerNames");
            Port::closeThread(thread);  // it runs on alone
            s->threadStarted = true;
        }
        s->changed.wakeAll();
        if (!startsAtOnce) return dotted;
        long long until = now + waitMs;
        for (;;) {
            kept = s->cache.find(host);
            if (kept != s->cache.end()) return kept->second.name;
            long long left = until - Port::elapsedMilliseconds();
            if (left <= 0) return dotted;
            s->changed.waitFor(s->lock, static_cast<unsigned long>(left));
        }
    } catch (...) {
        return dotted;  // out of memory: the address will do
    }
}

}  // namespace Varnix
