#pragma once

#include <cstdint>

// The values both outside peers put on the wire, and their little-endian
// byte form. Kept apart from the node's own definitions on purpose: the
// tools are independent peers, so a fault in one side cannot hide in both.
namespace Varnix::Peer {

constexpr uint32_t nodeGreeting = 0xC0C01827u;
constexpr uint32_t masterGreeting = 0xC0C03729u;
constexpr uint32_t hostGreeting = 0xC0C02172u;
constexpr uint32_t endSignal = 0xC0C04826u;
constexpr uint32_t fileDumpSignal = 0xC0C05827u;

constexpr uint16_t discoveryPort = 19666;  // UDP, every node
constexpr uint16_t hostPort = 19667;       // TCP, loopback of the node's machine
constexpr uint16_t masterPort = 19668;     // TCP, every node

// Largest file a file frame can carry (its size is a signed 32-bit count).
constexpr int64_t maxFrameFileSize = 2147483647;
// Pieces of a file frame: the node reads and writes at most this much per call.
constexpr uint32_t framePiece = 65536;

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
