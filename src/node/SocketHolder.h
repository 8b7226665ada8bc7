#pragma once
// The one owner of an accepted connection.

#include "port/socket.h"

#include <memory>

namespace Varnix {

// Holds at most one connection; releasing it (or destroying the holder)
// closes the connection. Used by one thread at a time.
class SocketHolder {
public:
    SocketHolder() = default;
    explicit SocketHolder(std::unique_ptr<Port::StreamSocket> socket) : socket(std::move(socket)) {}
    ~SocketHolder() { release(); }
    SocketHolder(const SocketHolder&) = delete;
    SocketHolder& operator=(const SocketHolder&) = delete;

    // Takes `newSocket`, closing the connection held before.
    void hold(std::unique_ptr<Port::StreamSocket> newSocket) {
        release();
        socket = std::move(newSocket);
    }

    // Closes and frees the held connection; nothing when empty.
    void release() {
        if (!socket) return;
        socket->Destroy();
        socket.reset();
    }

    // The held connection, owned by the holder; null when empty.
    Port::StreamSocket* get() const { return socket.get(); }
    bool isEmpty() const { return !socket; }

private:
    std::unique_ptr<Port::StreamSocket> socket;
};

}  // namespace Varnix
