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

MasterConnection::MasterConnection(std::unique_ptr<Port::StreamSocket> socket, LogTarget* window, LineBudget* refusals)
    : connection(std::move(socket)), window(window), refusals(refusals) {}

MasterConnection::~MasterConnection() { close(); }

void MasterConnection::greetedAsMaster() {
    master = true;
    connection->GetPeer(peer);
}

void MasterConnection::announce() {
    if (master && !announced) {
        String peerName(PeerNames::shared().nameFor(peer).c_str());
        window->log(u"Accepted remote connection from " + shownAsText(peerName));
        logged = true;
    }
    announced = true;
}

void MasterConnection::log(const String& line) {
    announce();
    window->log(line);
    logged = true;
}

bool MasterConnection::mayExplainRefusal() { return refusals->take(Port::elapsedMilliseconds()); }

void MasterConnection::close() {
    if (!connection) return;
    if (logged) window->log(u"Ready for new connection");
    connection->Destroy();
    connection.reset();
}

MasterGate::MasterGate(Port::ListeningSocket* listener, LogTarget* window) : listener(listener), window(window) {}

MasterGate::~MasterGate() { logHeldBack(true); }

void MasterGate::logHeldBack(bool last) {
    long long now = Port::elapsedMilliseconds();
    std::uint64_t refused = last ? refusedJobLines.takeCount() : refusedJobLines.dueCount(now);
    if (refused > 0)
        window->log(u"Refused " + Str::getFormatted(refused) +
                    u" more jobs for 3dsmax versions not configured here, too many to log one by one");
    std::uint64_t bogus = last ? bogusLines.takeCount() : bogusLines.dueCount(now);
    if (bogus > 0)
        window->log(u"Closed " + Str::getFormatted(bogus) +
                    u" more bogus master connections, too many to log one by one");
}

void MasterGate::drop(std::size_t index, const String& why) {
    MasterConnection& connection = *pending[index].connection;
    // A wrong greeting costs nothing to send; a master's connection is never counted.
    if (connection.isMaster() || bogusLines.take(Port::elapsedMilliseconds())) {
        connection.announce();
        if (!why.isEmpty()) connection.log(why);
    }
    connection.close();
    pending.erase(pending.begin() + std::ptrdiff_t(index));
}

MasterGate::Verdict MasterGate::examine(Pending& p, long long nowMs) {
    bool ended = false;
    Port::StreamSocket* socket = p.connection->socket();
    if (!p.connection->isMaster()) {
        unsigned char bytes[4];
        std::uint32_t waiting = socket->Peek(bytes, 4, ended);
        p.waiting = waiting;
        if (waiting == 4) {
            if (readSignal(socket, 0) != masterGreeting) return Verdict::drop;
            p.connection->greetedAsMaster();
            p.deadlineMs = nowMs + stringFrameDeadlineSeconds * 1000LL;
            // Its parameters may have come with the greeting: look again at once.
            return examine(p, nowMs);
        }
        return ended || nowMs >= p.deadlineMs ? Verdict::drop : Verdict::wait;
    }
    // Only looked at, not read, until all of it is in: reading it here would
    // wait for its bytes (readString), and a slow sender would hold up every
    // connection behind it. The one deadline is the one set above.
    char text[maxStringFrameBytes + 1];
    std::uint32_t waiting = socket->Peek(text, sizeof text, ended);
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
            const bool master = pending[index].connection->isMaster();
            // Only a master still sending its parameters after a second can be
            // here: named by its accepted line, and counted as turned away.
            if (master && state != nullptr) state->countRefusal();
            drop(index, master ? String(u"Closed: " + Str::toString(int(maxPending)) +
                                        u" connections wait for their turn, the most the node holds, and this "
                                        u"master had not sent its whole job parameters yet")
                               : String(u"Got bogus master connection"));
        }
        int timeout = listener->GetTimeout();
        listener->SetTimeout(0);
        std::unique_ptr<Port::StreamSocket> accepted = listener->Accept();
        listener->SetTimeout(timeout);
        if (!accepted) {
            queuedThroughJob = false;
            return;
        }
        admit(std::move(accepted), nowMs);
    }
}

void MasterGate::admit(std::unique_ptr<Port::StreamSocket> connection, long long nowMs) {
    // A peer that closed while it waited in the listen queue through a job
    // is most likely a master that gave up while the node was busy: no
    // greeting for it, and no "bogus" line either. On a node that was
    // waiting, a connect and close is a port check, as bogus as ever.
    bool ended = false;
    unsigned char first = 0;
    auto held = std::make_unique<MasterConnection>(std::move(connection), window, &refusedJobLines);
    if (held->socket()->Peek(&first, 1, ended) == 0 && ended) {
        if (bogusLines.take(nowMs))
            held->log(queuedThroughJob ? u"A connection closed before the node could greet it: its peer gave up waiting"
                                       : u"Got bogus master connection");
        return;
    }
    writeSignal(held->socket(), nodeGreeting, greetingWriteTimeoutSeconds);
    Pending greeted;
    greeted.connection = std::move(held);
    greeted.greetedMs = nowMs;
    greeted.deadlineMs = nowMs + masterAnswerSeconds * 1000LL;
    pending.push_back(std::move(greeted));
}

std::unique_ptr<MasterConnection> MasterGate::takeNext(long long nowMs) {
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
            // All of it is in: read at once, without a wait. A read that
            // fails even so is the job's to report.
            p.connection->parametersRead = readString(p.connection->socket(), p.connection->parameters) == 0;
            std::unique_ptr<MasterConnection> master = std::move(p.connection);
            pending.erase(pending.begin());
            return master;
        }
        if (verdict == Verdict::wait) {
            ++i;
            continue;
        }
        String why;  // empty for a master that closed mid-string: no reason line, as before
        if (!p.connection->isMaster())
            why = u"Got bogus master connection";
        else if (p.waiting > std::uint32_t(maxStringFrameBytes))
            why = u"Job parameters longer than " + Str::toString(int(maxStringFrameBytes)) + u" bytes";
        else if (nowMs >= p.deadlineMs)
            why = u"Job parameters not complete within " + Str::toString(stringFrameDeadlineSeconds) + u" s";
        drop(i, why);
    }
    return nullptr;
}

std::unique_ptr<MasterConnection> MasterGate::nextMaster(const std::atomic<bool>& stop,
                                                         const std::function<void()>& eachTurn) {
    for (;;) {
        if (eachTurn) eachTurn();
        logHeldBack(false);
        if (stop) {
            pending.clear();
            return nullptr;
        }
        long long now = Port::elapsedMilliseconds();
        if (std::unique_ptr<MasterConnection> master = takeNext(now)) {
            queuedThroughJob = true;  // until the listen queue is found empty
            return master;
        }
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
                sockets.push_back(p.connection->socket());
        }
        int waitMs = int(std::max<long long>(0, wake - now));
        Port::waitForAny(sockets.data(), sockets.size(), pending.size() < maxPending ? listener : nullptr, waitMs);
    }
}

}  // namespace Varnix
