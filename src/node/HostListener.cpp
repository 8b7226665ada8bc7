#include "node/HostListener.h"

#include "node/LinkPrimitives.h"
#include "node/Protocol.h"
#include "port/clock.h"
#include "port/process.h"

namespace Varnix {

namespace {

constexpr int listenerTimeoutSeconds = 1;
constexpr int drainReadsPerTurn = 256;  // 1 MiB

}  // namespace

HostListener::HostListener(LogTarget* window, std::uint16_t tcpPort)
    : window(window), listener(std::make_unique<Port::ListeningSocket>(Port::IPv4Address::loopback(tcpPort))) {
    listener->SetTimeout(listenerTimeoutSeconds);
}

HostListener::~HostListener() {
    // Explicit order: the listener closes first, so that no new connection
    // is taken while the held one goes.
    listener->Destroy();
    listener.reset();
    hostConnection.reset();
}

bool HostListener::acceptHost(const String& dataDirectory, Port::ChildProcess* renderer) {
    if (!listener->IsOk()) {
        Port::sleepMilliseconds(listenerTimeoutSeconds * 1000);
        return false;
    }
    std::unique_ptr<Port::StreamSocket> accepted = listener->Accept();
    if (!accepted) return false;
    // A renderer left by an earlier run (its node died), or any other local
    // program, greets like 3ds Max and would write its own dumps into this
    // job. Whatever way 3dsmaxcmd.exe starts this job's 3ds Max, it is of the
    // tree this job started, and that is never refused.
    if (renderer != nullptr && !renderer->holdsPeerOf(*accepted)) {
        window->log(u"WARNING: Got bogus loopback connection");
        return false;
    }
    hostConnection = std::move(accepted);
    writeSignal(hostConnection.get(), nodeGreeting, greetingWriteTimeoutSeconds);
    if (readSignal(hostConnection.get(), hostGreetingTimeoutSeconds) == hostGreeting) {
        // As the node found it: a name that is not in the narrow text's
        // encoding still names the folder the dumps must go to.
        writePath(hostConnection.get(), dataDirectory);
        return true;
    }
    window->log(u"WARNING: Got bogus loopback connection");
    hostConnection.reset();
    return false;
}

bool HostListener::connectionUsable() {
    Port::StreamSocket* connection = hostConnection.get();
    if (!isUsable(connection)) return false;
    // Bounded, so that a renderer that never stops talking cannot hold the
    // job's thread here; the rest is dropped on the next turn.
    char sink[4096];
    connection->SetTimeout(0);
    for (int i = 0; i < drainReadsPerTurn; ++i) {
        connection->Read(sink, sizeof sink);
        if (connection->LastReadCount() < sizeof sink) break;
    }
    return isUsable(connection);
}

void HostListener::sendEnd() { writeSignal(hostConnection.get(), endSignal, endWriteTimeoutSeconds); }

void HostListener::closeHost() { hostConnection.reset(); }

}  // namespace Varnix
