#pragma once
// The wire protocol between a master, the node and 3ds Max, named once: the
// ports, the four-byte signals, the frame limits and the deadlines each side
// keeps. Header-only and free of other includes, so that the outside peers,
// the tests and the benchmark use these values instead of copies.
// docs/protocol.md describes the same protocol for readers.

#include <cstdint>

namespace Varnix {

// Ports.
constexpr std::uint16_t discoveryPort = 19666;  // UDP, every interface
constexpr std::uint16_t hostPort = 19667;       // TCP, 127.0.0.1 only: 3ds Max connects back
constexpr std::uint16_t masterPort = 19668;     // TCP, every interface

// Signals: each travels as a 32-bit little-endian value.
constexpr std::uint32_t nodeGreeting = 0xC0C01827;    // node -> master and 3ds Max; discovery reply
constexpr std::uint32_t masterGreeting = 0xC0C03729;  // master -> node; discovery ping
constexpr std::uint32_t hostGreeting = 0xC0C02172;    // 3ds Max -> node
constexpr std::uint32_t endSignal = 0xC0C04826;       // master -> node, node -> 3ds Max
constexpr std::uint32_t fileDumpSignal = 0xC0C05827;  // node -> master, before each dump's file frame
constexpr std::uint32_t statusRequest = 0xC0C05354;   // asker -> node (UDP 19666), padded to the answer's room
constexpr std::uint32_t statusAnswer = 0xC0C05355;    // node -> asker: the signal, then the state as JSON

// Frames. A string frame is its bytes and one NUL; a file frame is its size
// (signed 32-bit little-endian) and that many bytes.
// Masters send about a dozen bytes of job parameters; a longer frame fails
// the read, so a peer can neither grow a string without end nor fill the log.
constexpr std::int32_t maxStringFrameBytes = 256;
// Largest file a file frame can carry.
constexpr std::int64_t maxFrameFileBytes = 2147483647;
// Largest piece of a file frame per read or write call.
constexpr std::uint32_t filePieceBytes = 65536;

// Status requests. The shortest request answered (the signal and 4 bytes of
// padding), and the length an asker that takes one Ethernet frame sends.
constexpr std::uint32_t statusRequestMinBytes = 8;
constexpr std::uint32_t statusRequestBytes = 1400;
// Answers to one asking socket (address and port), at once and on average
// per second; more requests are dropped. Answers to all senders together per
// second: forged addresses cannot buy more.
constexpr int statusAnswersAtOnce = 5;
constexpr int statusAnswersPerSecond = 2;
constexpr int statusAnswersPerSecondInAll = 200;

// Deadlines the node keeps, in seconds.
// A greeted master must answer with its own greeting within this time.
constexpr int masterAnswerSeconds = 5;
// A whole string frame (the job parameters) must have come within this time
// from its first byte being awaited: a peer dripping one byte at a time
// cannot hold the node's only master slot for longer.
constexpr int stringFrameDeadlineSeconds = 10;
// Each read of the scene's file frame.
constexpr int fileReceiveTimeoutSeconds = 45;
// Each write of a dump's file frame: a master that takes nothing for this
// long has its frame cut.
constexpr int fileSendTimeoutSeconds = 60;
// The greeting the node writes to a master or to 3ds Max.
constexpr int greetingWriteTimeoutSeconds = 5;
// A string frame the node writes (the data folder, to 3ds Max).
constexpr int stringWriteTimeoutSeconds = 5;
// The signal before each dump's file frame.
constexpr int dumpSignalTimeoutSeconds = 10;
// 3ds Max, once connected, must greet within this time.
constexpr int hostGreetingTimeoutSeconds = 5;
// The END forwarded to 3ds Max.
constexpr int endWriteTimeoutSeconds = 10;

// The longest pause of the node's loops when nothing happens (discovery and
// the relay wake on events before it).
constexpr int pollMilliseconds = 333;

// Little-endian byte order of a signal on the wire.
inline void encodeSignal(std::uint32_t value, unsigned char bytes[4]) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline std::uint32_t decodeSignal(const unsigned char bytes[4]) {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

}  // namespace Varnix
