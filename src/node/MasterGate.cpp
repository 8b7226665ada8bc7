#include "node/MasterGate.h"

#include "core/Str.h"
#include "core/String.h"
#include "node/HostNames.h"
#include "node/LinkPrimitives.h"
#include "node/NetworkText.h"
#include "node/Signals.h"
#include "port/clock.h"

#include <algorithm>

using Varnix::String;

namespace {

constexpr int greetingWriteTimeoutSeconds = 5;

}  // namespace

MasterGate::MasterGate(Varnix::Port::ListeningSocket* listener, Varnix::NodeWindow* window)
    : listener(listener), window(window) {}

MasterGate::~MasterGate() { logHeldBackBogus(true); }

void MasterGate::logHeldBackBogus(bool last) {
    std::uint64_t count = last ? bogusLines.takeCount() : bogusLines.dueCount(Varnix::Port::elapsedMilliseconds());
    if (count == 0) return;
    window->log(u"Closed " + Varnix::Str::getFormatted(count) +
                u" more bogus master connections, too many to log one by one");
}

void MasterGate::drop(std::size_t index, const char16_t* why) {
    // A wrong greeting costs nothing to send; a master's connection is never counted.
    if (pending[index].master || bogusLines.take(Varnix::Port::elapsedMilliseconds())) {
        if (why) window->log(why);
        window->log(u"Ready for new connection");
    }
    pending[index].socket->Destroy();
    pending.erase(pending.begin() + std::ptrdiff_t(index));
}

bool MasterGate::examine(Pending& p, long long nowMs, bool& handOver) {
    handOver = false;
    bool ended = false;
    if (!p.master) {
        unsigned char bytes[4];
        std::uint32_t waiting = p.socket->Peek(bytes, 4, ended);
        p.waiting = waiting;
        if (waiting == 4) {
            if (Varnix::readSignal(p.socket.get(), 0) != Varnix::masterGreeting) return true;
            p.master = true;
            p.deadlineMs = nowMs + Varnix::stringFrameDeadlineSeconds * 1000LL;
            Varnix::Port::IPv4Address peer;
            p.socket->GetPeer(peer);
            String host(HostNames::shared().nameFor(peer).c_str());
            window->log(u"Accepted remote connection from " + shownAsText(host));
            // Its parameters may have come with the greeting: look again at once.
            return examine(p, nowMs, handOver);
        }
        return ended || nowMs >= p.deadlineMs;
    }
    char text[Varnix::maxStringFrameBytes + 1];
    std::uint32_t waiting = p.socket->Peek(text, sizeof text, ended);
    p.waiting = waiting;
    if (std::find(text, text + waiting, '\0') != text + waiting) {
        handOver = true;
        return true;
    }
    return ended || waiting >= sizeof text || nowMs >= p.deadlineMs;
}

void MasterGate::greetWaitingConnections(long long nowMs) {
    for (;;) {
        std::size_t fresh = 0;
        for (const Pending& p : pending)
            if (nowMs - p.greetedMs < staggerMs) ++fresh;
        std::size_t silent = pending.size() - fresh;
        if (fresh >= std::max<std::size_t>(1, silent)) return;
        if (pending.size() >= maxPending) {
            // Full: the longest silent connection makes room, if another waits.
            auto oldest = std::min_element(pending.begin(), pending.end(), [](const Pending& a, const Pending& b) {
                return a.greetedMs < b.greetedMs;
            });
            if (nowMs - oldest->greetedMs < evictAfterMs) return;
            Varnix::Port::StreamSocket* none = nullptr;
            if (!Varnix::Port::waitForAny(&none, 0, listener, 0)) return;
            std::size_t index = std::size_t(oldest - pending.begin());
            drop(index, pending[index].master ? nullptr : u"Got bogus master connection");
        }
        int timeout = listener->GetTimeout();
        listener->SetTimeout(0);
        std::unique_ptr<Varnix::Port::StreamSocket> accepted = listener->Accept();
        listener->SetTimeout(timeout);
        if (!accepted) return;
        Varnix::writeSignal(accepted.get(), Varnix::nodeGreeting, greetingWriteTimeoutSeconds);
        pending.push_back(Pending{std::move(accepted), nowMs, nowMs + greetingTimeoutMs, false, 0});
    }
}

std::unique_ptr<Varnix::Port::StreamSocket> MasterGate::nextMaster(const std::atomic<bool>& stop,
                                                                   const std::function<void()>& eachTurn) {
    for (;;) {
        if (eachTurn) eachTurn();
        logHeldBackBogus(false);
        if (stop) {
            for (Pending& p : pending) p.socket->Destroy();
            pending.clear();
            return nullptr;
        }
        long long now = Varnix::Port::elapsedMilliseconds();
        for (std::size_t i = 0; i < pending.size();) {
            bool handOver = false;
            if (!examine(pending[i], now, handOver)) {
                ++i;
                continue;
            }
            if (handOver) {
                std::unique_ptr<Varnix::Port::StreamSocket> master = std::move(pending[i].socket);
                pending.erase(pending.begin() + std::ptrdiff_t(i));
                return master;
            }
            const char16_t* why = nullptr;  // a master that closed mid-string: no reason line, as before
            if (!pending[i].master)
                why = u"Got bogus master connection";
            else if (pending[i].waiting > std::uint32_t(Varnix::maxStringFrameBytes))
                why = u"Job parameters longer than 256 bytes";
            else if (now >= pending[i].deadlineMs)
                why = u"Job parameters not complete within 10 s";
            drop(i, why);
        }
        greetWaitingConnections(now);

        // Sleep until something arrives, a deadline or the stagger passes, or
        // it is time to look at the stop flag.
        long long wake = now + pollMs;
        std::vector<Varnix::Port::StreamSocket*> sockets;
        sockets.reserve(pending.size());
        for (const Pending& p : pending) {
            wake = std::min(wake, p.deadlineMs);
            if (now - p.greetedMs < staggerMs) wake = std::min(wake, p.greetedMs + staggerMs);
            if (p.waiting > 0)
                wake = std::min(wake, now + partialRecheckMs);
            else
                sockets.push_back(p.socket.get());
        }
        int waitMs = int(std::max<long long>(0, wake - now));
        Varnix::Port::waitForAny(sockets.data(), sockets.size(), pending.size() < maxPending ? listener : nullptr,
                                 waitMs);
    }
}
