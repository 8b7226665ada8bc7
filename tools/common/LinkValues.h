#pragma once

#include "node/Protocol.h"

#include <cstdint>

// The link's values come from the protocol header (its names are found from
// Varnix::Peer as they are); the peers add whole-value byte order helpers.
namespace Varnix::Peer {

// Writes `value` as 4 little-endian bytes into `out`. Never fails.
inline void putLE32(uint32_t value, unsigned char out[4]) {
    out[0] = static_cast<unsigned char>(value);
    out[1] = static_cast<unsigned char>(value >> 8);
    out[2] = static_cast<unsigned char>(value >> 16);
    out[3] = static_cast<unsigned char>(value >> 24);
}

// Reads 4 little-endian bytes. Never fails.
inline uint32_t getLE32(const unsigned char in[4]) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
           static_cast<uint32_t>(in[3]) << 24;
}

}  // namespace Varnix::Peer
