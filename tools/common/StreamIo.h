#pragma once

#include <cstdint>
#include <string>

#include "port/socket.h"

namespace Varnix::Peer {

// How a transfer on a stream socket ended.
enum class IoResult {
    Done,      // every byte moved
    TimedOut,  // the time-out ran out first; the connection is still up
    Closed,    // the peer closed the connection first
    Failed     // the connection broke (reset) or was not usable
};

// Reads exactly `count` bytes, waiting at most `timeoutSeconds` for them;
// `got` tells how many came (also on failure). One thread per socket.
IoResult readFully(Port::StreamSocket& socket, void* buffer, uint32_t count, int timeoutSeconds, uint32_t& got);

// Writes all `count` bytes, waiting at most `timeoutSeconds`.
IoResult writeFully(Port::StreamSocket& socket, const void* buffer, uint32_t count, int timeoutSeconds);

// Writes one 32-bit signal in little-endian order.
IoResult writeSignal(Port::StreamSocket& socket, uint32_t value, int timeoutSeconds);

// Reads one 32-bit little-endian value into `value` (untouched unless Done).
IoResult readSignal(Port::StreamSocket& socket, uint32_t& value, int timeoutSeconds);

// Short words for messages: "timed out", "closed by the peer", "broken".
const char* describe(IoResult result);

// Formats a byte count with thousands separators: 1234567 -> "1,234,567".
std::string groupedCount(uint64_t count);

}  // namespace Varnix::Peer
