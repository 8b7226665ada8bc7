#pragma once
// The loopback listener for 3ds Max and the one 3ds Max connection of a job.

#include "core/LogTarget.h"
#include "node/Protocol.h"
#include "core/String.h"
#include "port/process.h"
#include "port/socket.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Varnix {

class HostListener {
public:
    // Binds the listener to `tcpPort` (0: any free port) on the loopback
    // address; when the port cannot be bound it stays in place, unbound
    // (listeningSocket()->IsOk() false), for its owner to report. GUI thread;
    // `window` must outlive the listener.
    HostListener(LogTarget* window, std::uint16_t tcpPort = hostPort);

    // Closes the listener and any held connection. GUI thread, after the
    // job's thread has finished with the listener.
    ~HostListener();

    HostListener(const HostListener&) = delete;
    HostListener& operator=(const HostListener&) = delete;

    // Waits at most 1 s for 3ds Max to connect, exchanges greetings and tells
    // it `dataDirectory`. True when a connection is now held; false when
    // none came, it did not greet as 3ds Max or came from no process of
    // `renderer`'s tree (both logged, then closed), or the listener is not
    // bound (after a 1 s pause, so a caller's retry loop does not spin).
    // Without a `renderer` any greeting process is taken. Precondition: no
    // connection held. Job thread only.
    bool acceptHost(const String& dataDirectory, Port::ChildProcess* renderer = nullptr);

    // Writes the END signal to the held connection (10 s time-out); the result
    // is not examined. Job thread only.
    void sendEnd();

    // Closes the held connection; nothing when none is held. Job thread only.
    void closeHost();

    bool hasConnection() const { return hostConnection != nullptr; }

    // True while a connection is held and usable. Whatever 3ds Max has sent
    // since its greeting is read and dropped first (it has nothing to tell
    // the node there), so that unread bytes never hide its close. Job thread
    // only.
    bool connectionUsable();

    // The held connection (owned here), or null. Job thread only.
    Port::StreamSocket* connection() const { return hostConnection.get(); }

    // The loopback listener (owned here), for its owner to tell whether and
    // where it is bound. Never null before destruction.
    Port::ListeningSocket* listeningSocket() const { return listener.get(); }

private:
    LogTarget* window;
    std::unique_ptr<Port::ListeningSocket> listener;
    // Destroying it closes the connection. Job thread only.
    std::unique_ptr<Port::StreamSocket> hostConnection;
};

}  // namespace Varnix
