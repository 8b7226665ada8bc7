#pragma once
// A status asker: sends the node's discovery port a status request and
// reads the answer, and picks values out of its JSON text (keys unique but
// for the counts' copies).

#include <cstddef>
#include <cstdint>
#include <string>

namespace VarnixTest {

// Sends a status request `requestBytes` long (the signal, then zeros;
// shorter than the signal: its first bytes) from a socket of its own to
// 127.0.0.1:`port` and waits up to `seconds` for a datagram; returns it
// whole, or "" when none came. Any thread.
std::string askStatus(std::uint16_t port, std::size_t requestBytes = 1400, double seconds = 2);

// Asks again until an answer comes (the node rations them, and a flood may
// drop a request), for at most `seconds`; "" when none came.
std::string askStatusUntilAnswered(std::uint16_t port, double seconds = 60, std::size_t requestBytes = 1400);

// The JSON text of a status answer; "" when `datagram` is none.
std::string statusJson(const std::string& datagram);

// The first value of `key` after `after` (a key that must come before it,
// or ""): a string's contents, or any other value as compact JSON. "" when
// missing or `json` is no JSON.
std::string jsonValue(const std::string& json, const std::string& key, const std::string& after = "");

}  // namespace VarnixTest
