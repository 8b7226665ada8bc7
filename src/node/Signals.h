#pragma once
// The four-byte signals of the master link and the host link, and the UDP
// discovery datagrams. Each travels as a 32-bit little-endian value.

#include <cstdint>

namespace Varnix {

constexpr std::uint32_t nodeGreeting = 0xC0C01827;    // node -> master and 3ds Max; discovery reply
constexpr std::uint32_t masterGreeting = 0xC0C03729;  // master -> node; discovery ping
constexpr std::uint32_t hostGreeting = 0xC0C02172;    // 3ds Max -> node
constexpr std::uint32_t endSignal = 0xC0C04826;       // master -> node, node -> 3ds Max
constexpr std::uint32_t fileDumpSignal = 0xC0C05827;  // node -> master, before each dump's file frame

// What readSignal returns when nothing came; no signal has this value.
constexpr std::uint32_t noSignal = 0xFFFFFFFF;

// Little-endian byte order of a value on the wire.
inline void encodeSignal(std::uint32_t value, unsigned char bytes[4]) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline std::uint32_t decodeSignal(const unsigned char bytes[4]) {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

}  // namespace Varnix
