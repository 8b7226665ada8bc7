#include "node/HostListener.h"

#include "node/LinkPrimitives.h"
#include "node/Protocol.h"
#include "port/clock.h"

namespace {

constexpr int listenerTimeoutSeconds = 1;
constexpr int drainReadsPerTurn = 256;  // 1 MiB

}  // namespace

HostListener::HostListener(Varnix::NodeWindow* window, std::uint16_t tcpPort)
    : window(window),
      listener(std::make_unique<Varnix::Port::ListeningSocket>(Varnix::Port::IPv4Address::loopback(tcpPort))) {
    listener->SetTimeout(listenerTimeoutSeconds);
}

HostListener::~HostListener() {
    // Explicit order: the listener closes first, so that no new connection
    // is taken while the held one goes.
    listener->Destroy();
    listener.reset();
    hostConnection.release();
}

bool HostListener::acceptHost(const Varnix::String& dataDirectory) {
    if (!listener->IsOk()) {
        Varnix::Port::sleepMilliseconds(listenerTimeoutSeconds * 1000);
        return false;
    }
    std::unique_ptr<Varnix::Port::StreamSocket> accepted = listener->Accept();
    if (!accepted) return false;
    hostConnection.hold(std::move(accepted));
    Varnix::writeSignal(hostConnection.get(), Varnix::nodeGreeting, Varnix::greetingWriteTimeoutSeconds);
    if (Varnix::readSignal(hostConnection.get(), Varnix::hostGreetingTimeoutSeconds) == Varnix::hostGreeting) {
        Varnix::writeString(hostConnection.get(), dataDirectory);
        return true;
    }
    window->log(u"WARNING: Got bogus loopback connection");
    hostConnection.release();
    return false;
}

bool HostListener::connectionUsable() {
    Varnix::Port::StreamSocket* connection = hostConnection.get();
    if (!Varnix::isUsable(connection)) return false;
    // Bounded, so that a renderer that never stops talking cannot hold the
    // job's thread here; the rest is dropped on the next turn.
    char sink[4096];
    connection->SetTimeout(0);
    for (int i = 0; i < drainReadsPerTurn; ++i) {
        connection->Read(sink, sizeof sink);
        if (connection->LastReadCount() < sizeof sink) break;
    }
    return Varnix::isUsable(connection);
}

void HostListener::sendEnd() {
    Varnix::writeSignal(hostConnection.get(), Varnix::endSignal, Varnix::endWriteTimeoutSeconds);
}

void HostListener::closeHost() { hostConnection.release(); }
