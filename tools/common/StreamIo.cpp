#include "StreamIo.h"

#include "LinkValues.h"

namespace Varnix::Peer {

namespace {

IoResult classify(Port::StreamSocket& socket, bool complete) {
    if (complete) return IoResult::Done;
    if (!socket.IsOk()) return IoResult::Failed;
    return socket.IsClosed() ? IoResult::Closed : IoResult::TimedOut;
}

}  // namespace

IoResult readFully(Port::StreamSocket& socket, void* buffer, uint32_t count, int timeoutSeconds, uint32_t& got) {
    got = 0;
    if (!socket.IsOk()) return IoResult::Failed;
    if (count == 0) return IoResult::Done;
    socket.SetTimeout(timeoutSeconds);
    socket.Read(buffer, count);
    got = socket.LastReadCount();
    return classify(socket, got == count);
}

IoResult writeFully(Port::StreamSocket& socket, const void* buffer, uint32_t count, int timeoutSeconds) {
    if (!socket.IsOk()) return IoResult::Failed;
    if (count == 0) return IoResult::Done;
    socket.SetTimeout(timeoutSeconds);
    socket.Write(buffer, count);
    if (socket.LastWriteCount() == count && socket.IsOk()) return IoResult::Done;
    return socket.IsOk() ? IoResult::TimedOut : IoResult::Failed;
}

IoResult writeSignal(Port::StreamSocket& socket, uint32_t value, int timeoutSeconds) {
    unsigned char bytes[4];
    encodeSignal(value, bytes);
    return writeFully(socket, bytes, 4, timeoutSeconds);
}

IoResult readSignal(Port::StreamSocket& socket, uint32_t& value, int timeoutSeconds) {
    unsigned char bytes[4];
    uint32_t got = 0;
    const IoResult result = readFully(socket, bytes, 4, timeoutSeconds, got);
    if (result == IoResult::Done) value = decodeSignal(bytes);
    return result;
}

const char* describe(IoResult result) {
    switch (result) {
    case IoResult::Done: return "done";
    case IoResult::TimedOut: return "timed out";
    case IoResult::Closed: return "closed by the peer";
    case IoResult::Failed: return "broken";
    }
    return "broken";
}

std::string groupedCount(uint64_t count) {
    std::string digits = std::to_string(count);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), ",");
    return digits;
}

}  // namespace Varnix::Peer
