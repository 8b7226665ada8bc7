#include "node/DiscoveryReplier.h"

#include "core/String.h"
#include "core/Str.h"
#include "node/PeerNames.h"
#include "node/LineBudget.h"
#include "node/NetworkText.h"
#include "node/Protocol.h"
#include "port/clock.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace Varnix {

using Port::IPv4Address;

namespace {

// Ping lines written at once and on average; more pings are counted. A ping
// from a forged address costs a line (and a name lookup) otherwise, and
// forged addresses make every line a different one. A farm's masters
// discovering every few seconds stay far below both.
constexpr int pingLinesAtOnce = 100;
constexpr int pingLinesPerSecond = 5;

// The longest wait on a quiet socket: only if the stop's own datagram were
// lost would a stop take this long.
constexpr int quietWaitMs = 5000;

// The largest payload of one UDP datagram over IPv4.
constexpr std::size_t maxStatusAnswerBytes = 65507;

// A bucket of answers: `atOnce` at once, `perSecond` on average.
struct AnswerBucket {
    double tokens = 0;
    long long lastMs = -1;
    bool take(long long nowMs, double atOnce, double perSecond) {
        tokens = lastMs < 0 ? atOnce : std::min(atOnce, tokens + double(nowMs - lastMs) * perSecond / 1000);
        lastMs = nowMs;
        if (tokens < 1) return false;
        tokens -= 1;
        return true;
    }
};

// Status answers rationed per sender address and in all. The table is
// fixed: a sender whose slot another took starts afresh, and what forged
// addresses gain by that is bounded by the ration in all. One thread.
class StatusRation {
public:
    bool take(const IPv4Address& sender, long long nowMs) {
        Slot& slot = slots[(sender.host * 2654435761u) >> 24];
        if (slot.host != sender.host) slot = Slot{sender.host, {}};
        if (!slot.bucket.take(nowMs, statusAnswersAtOnce, statusAnswersPerSecond)) return false;
        return all.take(nowMs, statusAnswersPerSecondInAll, statusAnswersPerSecondInAll);
    }

private:
    struct Slot {
        std::uint32_t host = 0;
        AnswerBucket bucket;
    };
    Slot slots[256];
    AnswerBucket all;
};

// Answers status requests: a copy of the state under its short lock, text
// built here, one datagram no longer than the request. Never a line in the
// log. The datagram is sent again as it is while nothing it tells has
// changed (the state's version, the sample, the request's size, the seconds
// it counts), which a farm page asking every node each second mostly finds;
// the copy and the text are kept, so an answer built anew costs no
// allocation once they have grown. One thread.
class StatusAnswerer {
public:
    void answer(DiscoveryReplier& replier, const IPv4Address& sender, std::size_t requestBytes) {
        const StatusSource& source = *replier.status;
        // Read before the state: a change after it makes the next ask build anew.
        const std::uint64_t version = source.board->version();
        const StatusSample sample = source.sample();
        const std::size_t maxBytes = std::min(requestBytes, maxStatusAnswerBytes);
        const long long now = Port::elapsedMilliseconds();
        const bool same =
            version == builtVersion && sample == builtSample && maxBytes == builtMaxBytes && now < changesAtMs;
        if (!same) {
            source.board->read(state);
            changesAtMs = buildStatusAnswer(state, source.facts, sample, now, maxBytes, datagram);
            builtVersion = version;
            builtSample = sample;
            builtMaxBytes = maxBytes;
        }
        if (!datagram.empty()) replier.socket->SendTo(sender, datagram.data(), datagram.size());
    }

private:
    NodeState state;
    std::string datagram;
    std::uint64_t builtVersion = 0;
    StatusSample builtSample;
    std::size_t builtMaxBytes = 0;
    // Nothing built yet: due at once.
    long long changesAtMs = std::numeric_limits<long long>::min();
};

void logPing(LogTarget* window, const IPv4Address& sender, LineBudget& budget) {
    if (!budget.take(Port::elapsedMilliseconds())) return;
    String peerName(PeerNames::shared().nameFor(sender).c_str());
    window->log(u"Replying to discovery ping from " + shownAsText(peerName));
}

// Writes the count of pings not logged, when due (or at once when `last`).
void logHeldBackPings(LogTarget* window, LineBudget& budget, bool last = false) {
    std::uint64_t count = last ? budget.takeCount() : budget.dueCount(Port::elapsedMilliseconds());
    if (count == 0) return;
    window->log(u"Replied to " + Str::getFormatted(count) + u" more discovery pings, too many to log one by one");
}

}  // namespace

StatusSample StatusSource::sample() const {
    StatusSample sample;
    sample.freeDiskMb = freeDiskMb.load();
    sample.logLinesLost = log != nullptr ? log->linesLost() : 0;
    return sample;
}

DiscoveryReplier::DiscoveryReplier(LogTarget* window, std::uint16_t udpPort, const StatusSource* status)
    : window(window),
      stopRequested(false),
      // Bound here, so that the start-up report knows whether it holds the port.
      socket(std::make_unique<Port::DatagramSocket>(IPv4Address::any(udpPort))),
      askedPort(udpPort),
      status(status) {
    IPv4Address local;
    if (socket->IsOk() && socket->GetLocal(local)) heldPort = local.port;
    name = u"MY_DiscoveryReplier";
    stackSize = 0x100000;
    execute(&DiscoveryReplier::serveDiscovery, this);
}

DiscoveryReplier::~DiscoveryReplier() {
    // The base destructor waits for the task, which only ends on this flag;
    // a datagram to the socket ends its wait. It comes from a socket of its
    // own: the task closes the replier's once it has seen the flag.
    stopRequested = true;
    if (heldPort != 0) {
        Port::DatagramSocket waker(IPv4Address::loopback(0));
        unsigned char wake = 0;
        waker.SendTo(IPv4Address::loopback(heldPort), &wake, sizeof wake);
    }
    waitIdle();
}

void DiscoveryReplier::serveDiscovery(void* self) {
    auto* replier = static_cast<DiscoveryReplier*>(self);
    LogTarget* window = replier->window;

    IPv4Address local = IPv4Address::any(replier->askedPort);
    replier->socket->GetLocal(local);
    String localName(PeerNames::shared().nameFor(local).c_str());
    window->log(u"Starting UDP socket, local hostname: " + shownAsText(localName));
    LineBudget pingLines(pingLinesAtOnce, pingLinesPerSecond);
    StatusRation statusRation;
    StatusAnswerer statusAnswerer;

    if (!replier->socket->IsOk()) {
        window->log(u"Cannot bind to discovery port (UDP " + String(std::to_string(replier->askedPort).c_str()) + u")");
    } else {
        // Room for the largest datagram: a ping that comes with more bytes is
        // still a ping, and a receive never fails for want of space (Windows
        // fails one that does not fit instead of cutting it).
        std::vector<unsigned char> buffer(maxDatagramBytes);
        // A deeper queue rides out the moments the thread is not scheduled
        // while noise keeps coming; the system grants what it allows.
        replier->socket->SetReceiveBufferSize(receiveQueueBytes);
        // After an answer the queue is most often empty: waiting first saves
        // the receive that would only find it so.
        bool waitFirst = false;
        const auto wait = [&] {
            logHeldBackPings(window, pingLines);
            // A quiet network costs no wake-ups: the stop sends a datagram of
            // its own, and only a count still to be written needs the poll.
            replier->socket->WaitForRead(pingLines.holdsBack() ? pollMilliseconds : quietWaitMs);
        };
        while (!replier->stopRequested) {
            if (waitFirst) wait();
            waitFirst = false;
            std::fill(buffer.begin(), buffer.begin() + 4, 0xFF);
            IPv4Address sender;
            int received = replier->socket->RecvFrom(sender, buffer.data(), buffer.size());
            if (decodeSignal(buffer.data()) == masterGreeting) {
                unsigned char answer[4];
                encodeSignal(nodeGreeting, answer);
                for (int i = 0; i < repliesPerPing; ++i) replier->socket->SendTo(sender, answer, sizeof answer);
                logPing(window, sender, pingLines);
                continue;  // queued pings are answered back to back
            }
            // Whoever asks may give a forged address: the answer is never
            // longer than the request, and rationed.
            if (received >= int(statusRequestMinBytes) && replier->status != nullptr &&
                replier->status->board != nullptr && decodeSignal(buffer.data()) == statusRequest) {
                if (replier->status->askers.admits(sender.host) &&
                    statusRation.take(sender, Port::elapsedMilliseconds())) {
                    statusAnswerer.answer(*replier, sender, std::size_t(received));
                    waitFirst = true;
                }
                continue;
            }
            // Other datagrams are dropped without a pause: sleeping after each
            // one would let a burst of stray datagrams (or steady noise above
            // three a second) keep the queued pings of masters waiting for
            // minutes. An empty queue waits on the socket rather than sleeping
            // a whole poll, so noise arriving meanwhile cannot fill the queue
            // and push out a master's ping.
            if (received < 0) wait();
        }
        logHeldBackPings(window, pingLines, true);  // nothing goes unreported, not even at the end
    }
    replier->socket->Destroy();
}

}  // namespace Varnix
