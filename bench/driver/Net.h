#pragma once
// Plain loopback sockets for the benchmark's own master side and for the
// baselines it measures the node against. Blocking descriptors; every wait
// has a limit in milliseconds. Linux only.

#include "node/Protocol.h"

#include <cstddef>
#include <cstdint>

namespace bench {

using Varnix::discoveryPort;
using Varnix::endSignal;
using Varnix::masterGreeting;
using Varnix::masterPort;
using Varnix::nodeGreeting;

using Varnix::decodeSignal;
using Varnix::encodeSignal;

// A TCP connection to 127.0.0.1:port, or -1 when refused or not made within
// `timeoutMs`.
int connectTcp(std::uint16_t port, int timeoutMs);
bool writeAll(int fd, const void* data, std::size_t count);
// False when the bytes did not all come within `timeoutMs`.
bool readExact(int fd, void* data, std::size_t count, int timeoutMs);
// Reads and drops until the peer closes; false when it did not within `timeoutMs`.
bool waitForClose(int fd, int timeoutMs);
// True when a byte (or the close) can be read within `timeoutMs`.
bool waitReadable(int fd, int timeoutMs);

// A TCP listener on 127.0.0.1, any free port; its port in `port`.
int listenTcp(std::uint16_t& port);
// A UDP socket on 127.0.0.1, any free port; its port in `port`.
int bindUdp(std::uint16_t& port);
bool sendUdp(int fd, std::uint16_t port, const void* data, std::size_t count);

}  // namespace bench
