#include "node/MasterGate.h"

#include "node/NodeState.h"

#include "core/Str.h"
#include "core/String.h"
#include "node/PeerNames.h"
#include "node/LinkPrimitives.h"
#include "node/NetworkText.h"
#include "node/Protocol.h"
#include "port/clock.h"

#include <algorithm>

namespace Varnix {

MasterGate::MasterGate(Port::ListeningSocket* listener, LogTarget* window) : listener(listener), window(window) {}

MasterGate::~MasterGate() { logHeldBackBogus(true); }

void MasterGate::logHeldBackBogus(bool last) {
    std::uint64_t count = last ? bogusLines.takeCount() : bogusLines.dueCount(Port::elapsedMilliseconds());
    if (count == 0) return;
    window->log(u"Closed " + Str::getFormatted(count) + u" more bogus master connections, too many to log one by one");
}

String MasterGate::acceptedLine(const Pending& p) {
    String peerName(PeerNames::shared().nameFor(p.peer).c_str());
    return u"Accepted remote connection from " + shownAsText(peerName);
}

String MasterGate::takeAcceptedLine() {
    String line = accepted;
    accepted = String();
    return line;
}

void MasterGate::drop(std::size_t index, const String& why) {
    // A wrong greeting costs nothing to send; a master's connection is never counted.
    if (pending[index].master || bogusLines.take(Port::elapsedMilliseconds())) {
        if (pending[index].master) window->log(acceptedLine(pending[index]));
        if (!why.isEmpty()) window->log(why);
        window->log(u"Ready for new connection");
    }
    pending[index].socket->Destroy();
    pending.erase(pending.begin() + std::ptrdiff_t(index));
}

MasterGate::Verdict MasterGate::examine(Pending& p, long long nowMs) {
    bool ended = false;
    if (!p.master) {
        unsigned char bytes[4];
        std::uint32_t waiting = p.socket->Peek(bytes, 4, ended);
        p.waiting = waiting;
        if (waiting == 4) {
            if (readSignal(p.socket.get(), 0) != masterGreeting) return Verdict::drop;
            p.master = true;
            p.deadlineMs = nowMs + stringFrameDeadlineSeconds * 1000LL;
            p.socket->GetPeer(p.peer);
            // Its parameters may have come with the greeting: look again at once.
            return examine(p, nowMs);
        }
        return ended || nowMs >= p.deadlineMs ? Verdict::drop : Verdict::wait;
    }
    char text[maxStringFrameBytes + 1];
    std::uint32_t waiting = p.socket->Peek(text, sizeof text, ended);
    p.waiting = waiting;
    if (std::find(text, text + waiting, '\0') != text + waiting) return Verdict::complete;
    return ended || waiting >= sizeof text || nowMs >= p.deadlineMs ? Verdict::drop : Verdict::wait;
}

void MasterGate::greetWaitingConnections(long long nowMs) {
    for (;;) {
        // Connections whose job is complete only wait for their turn: they
        // are no reason to greet more, nor to greet fewer.
        std::size_t fresh = 0;
        std::size_t silent = 0;
        for (const Pending& p : pending)
            if (!p.complete) ++(nowMs - p.greetedMs < staggerMs ? fresh : silent);
        if (fresh >= std::max<std::size_t>(1, silent)) return;
        if (pending.size() >= maxPending) {
            // Full: the longest silent connection makes room, if another
            // waits. A complete master is never the one: it keeps its turn.
            auto oldest = std::find_if(pending.begin(), pending.end(), [](const Pending& p) { return !p.complete; });
            if (oldest == pending.end() || nowMs - oldest->greetedMs < evictAfterMs) return;
            Port::StreamSocket* none = nullptr;
            if (!Port::waitForAny(&none, 0, listener, 0)) return;
            std::size_t index = std::size_t(oldest - pending.begin());
            drop(index, pending[index].master ? String() : String(u"Got bogus master connection"));
        }
        int timeout = listener->GetTimeout();
        listener->SetTimeout(0);
        std::unique_ptr<Port::StreamSocket> accepted = listener->Accept();
        listener->SetTimeout(timeout);
        if (!accepted) return;
        admit(std::move(accepted), nowMs);
    }
}

void MasterGate::admit(std::unique_ptr<Port::StreamSocket> connection, long long nowMs) {
    // A peer that closed while it waited in the listen queue is most likely
    // a master that gave up while the node was busy: no greeting for it, and
    // no "bogus" line either.
    bool ended = false;
    unsigned char first = 0;
    if (connection->Peek(&first, 1, ended) == 0 && ended) {
        if (bogusLines.take(nowMs)) {
            window->log(u"A connection closed before the node could greet it: its peer gave up waiting");
            window->log(u"Ready for new connection");
        }
        connection->Destroy();
        return;
    }
    writeSignal(connection.get(), nodeGreeting, greetingWriteTimeoutSeconds);
    Pending greeted;
    greeted.socket = std::move(connection);
    greeted.greetedMs = nowMs;
    greeted.deadlineMs = nowMs + masterAnswerSeconds * 1000LL;
    pending.push_back(std::move(greeted));
}

std::unique_ptr<Port::StreamSocket> MasterGate::takeNext(long long nowMs) {
    // Held in the order they were greeted, which is the order they
    // connected in.
    for (std::size_t i = 0; i < pending.size();) {
        Pending& p = pending[i];
        Verdict verdict = p.complete ? Verdict::complete : examine(p, nowMs);
        if (verdict == Verdict::complete) {
            p.complete = true;
            // Masters are served in the order they connected: a complete
            // one waits while one greeted before it may still send its job.
            if (i > 0) {
                ++i;
                continue;
            }
            accepted = acceptedLine(p);
            std::unique_ptr<Port::StreamSocket> master = std::move(p.socket);
            pending.erase(pending.begin());
            return master;
        }
        if (verdict == Verdict::wait) {
            ++i;
            continue;
        }
        String why;  // empty for a master that closed mid-string: no reason line, as before
        if (!p.master)
            why = u"Got bogus master connection";
        else if (p.waiting > std::uint32_t(maxStringFrameBytes))
            why = u"Job parameters longer than " + Str::toString(int(maxStringFrameBytes)) + u" bytes";
        else if (nowMs >= p.deadlineMs)
            why = u"Job parameters not complete within " + Str::toString(stringFrameDeadlineSeconds) + u" s";
        drop(i, why);
    }
    return nullptr;
}

void MasterGate::closeGreetedBehind() {
    // Closed now, before its scene is taken, a master can go to another node
    // at once instead of failing on its upload limit.
    while (!pending.empty()) {
        // Its greeting may have come since it was last looked at.
        if (!pending.front().master) examine(pending.front(), Port::elapsedMilliseconds());
        bool master = pending.front().master;
        // A master is never counted; a connection that has not answered yet
        // is rationed like a bogus one (it costs its sender nothing).
        if (master || bogusLines.take(Port::elapsedMilliseconds())) {
            if (master) window->log(acceptedLine(pending.front()));
            window->log(master ? String(u"Closed at once: the node is busy with the job of a master that connected "
                                        u"earlier, so this master can go elsewhere")
                               : String(u"Closed a connection that had not answered its greeting: the node is busy "
                                        u"with the job of a master that connected earlier"));
            window->log(u"Ready for new connection");
        }
        if (master && state != nullptr) state->countRefusal();
        pending.front().socket->Destroy();
        pending.erase(pending.begin());
    }
}

std::unique_ptr<Port::StreamSocket> MasterGate::nextMaster(const std::atomic<bool>& stop,
                                                           const std::function<void()>& eachTurn) {
    for (;;) {
        if (eachTurn) eachTurn();
        logHeldBackBogus(false);
        if (stop) {
            for (Pending& p : pending) p.socket->Destroy();
            pending.clear();
            return nullptr;
        }
        long long now = Port::elapsedMilliseconds();
        if (std::unique_ptr<Port::StreamSocket> master = takeNext(now)) return master;
        greetWaitingConnections(now);
        // Room made at the head for a complete master: serve it at once.
        if (!pending.empty() && pending.front().complete) continue;

        // Sleep until something arrives, a deadline or the stagger passes, or
        // it is time to look at the stop flag.
        long long wake = now + pollMs;
        std::vector<Port::StreamSocket*> sockets;
        sockets.reserve(pending.size());
        for (const Pending& p : pending) {
            if (p.complete) continue;
            wake = std::min(wake, p.deadlineMs);
            if (now - p.greetedMs < staggerMs) wake = std::min(wake, p.greetedMs + staggerMs);
            if (p.waiting > 0)
                wake = std::min(wake, now + partialRecheckMs);
            else
                sockets.push_back(p.socket.get());
        }
        int waitMs = int(std::max<long long>(0, wake - now));
        Port::waitForAny(sockets.data(), sockets.size(), pending.size() < maxPending ? listener : nullptr, waitMs);
    }
}

}  // namespace Varnix
