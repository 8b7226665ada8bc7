#include "LinkWatcher.h"

#include <algorithm>

#include "LinkValues.h"

namespace Varnix::Peer {

LinkWatcher::LinkWatcher(Port::StreamSocket& socket, std::function<void()> onEnd, std::function<void(uint32_t)> onOther)
    : socket(socket), onEnd(std::move(onEnd)), onOther(std::move(onOther)) {}

void LinkWatcher::pollFor(std::chrono::milliseconds period) {
    if (linkClosed) return;
    if (!socket.IsOk()) {
        linkClosed = true;
        return;
    }
    if (!socket.WaitForRead(static_cast<int>(std::max<long long>(0, period.count())))) return;
    socket.SetTimeout(0);
    for (;;) {
        socket.Read(pending + have, 4 - have);
        const uint32_t got = socket.LastReadCount();
        if (got == 0) {
            if (!socket.IsOk() || socket.IsClosed()) linkClosed = true;
            return;
        }
        have += got;
        if (have < 4) continue;
        have = 0;
        const uint32_t value = decodeSignal(pending);
        if (value == endSignal) {
            ++ends;
            onEnd();
        } else {
            onOther(value);
        }
    }
}

void LinkWatcher::waitUntil(std::chrono::steady_clock::time_point deadline) {
    const int endsBefore = ends;
    while (!linkClosed && ends == endsBefore) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return;
        pollFor(std::min<std::chrono::milliseconds>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) + std::chrono::milliseconds(1),
            std::chrono::milliseconds(100)));
    }
}

}  // namespace Varnix::Peer
