#include "node/DiscoveryReplier.h"

#include "core/String.h"
#include "node/Signals.h"
#include "port/clock.h"

using Varnix::String;
using Varnix::Port::IPv4Address;

DiscoveryReplier::DiscoveryReplier(Varnix::NodeWindow* window) : window(window), stopRequested(false) {
    name = u"MY_DiscoveryReplier";
    stackSize = 0x100000;
    execute(&DiscoveryReplier::serveDiscovery, this);
}

DiscoveryReplier::~DiscoveryReplier() {
    // The base destructor waits for the task, which only ends on this flag.
    stopRequested = true;
    waitIdle();
}

void DiscoveryReplier::serveDiscovery(void* self) {
    auto* replier = static_cast<DiscoveryReplier*>(self);
    Varnix::NodeWindow* window = replier->window;

    IPv4Address local = IPv4Address::any(port);
    replier->socket = std::make_unique<Varnix::Port::DatagramSocket>(local);
    replier->socket->GetLocal(local);
    window->log((u"Starting UDP socket, local hostname: " + String(local.hostname().c_str())).wideCString());

    if (!replier->socket->IsOk()) {
        window->log((u"Cannot bind to discovery port (UDP " + String(std::to_string(port).c_str()) + u")")
                        .wideCString());
    } else {
        while (!replier->stopRequested) {
            unsigned char buffer[4] = {0xFF, 0xFF, 0xFF, 0xFF};
            IPv4Address sender;
            int received = replier->socket->RecvFrom(sender, buffer, sizeof buffer);
            if (Varnix::decodeSignal(buffer) == Varnix::masterGreeting) {
                Varnix::encodeSignal(Varnix::nodeGreeting, buffer);
                for (int i = 0; i < repliesPerPing; ++i) replier->socket->SendTo(sender, buffer, sizeof buffer);
                window->log((u"Replying to discovery ping from " + String(sender.hostname().c_str())).wideCString());
                continue;  // queued pings are answered back to back
            }
            // Other datagrams are dropped without a pause: sleeping after each
            // one would let a burst of stray datagrams (or steady noise above
            // three a second) keep the queued pings of masters waiting for
            // minutes. Only an empty queue waits for the next poll.
            if (received >= 0) continue;
            Varnix::Port::sleepMilliseconds(pollMilliseconds);
        }
    }
    replier->socket->Destroy();
    replier->socket.reset();
}
