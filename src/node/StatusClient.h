#pragma once
// Asking nodes for their status (docs/protocol.md): the request, the round
// of sending and collecting answers, and the answer's parsing. drmaster, the
// companion window and the tests all ask through this; drmaster's discovery
// ping shares the round.

#include "node/Protocol.h"
#include "port/socket.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Varnix {

// A status answer as parsed: members keep the order the node sent them in.
using StatusJson = nlohmann::ordered_json;

// A status request `bytes` long: the signal, then zeros. Its length is the
// room for the answer. Shorter than the signal: the signal's first bytes.
std::vector<unsigned char> statusRequestDatagram(std::size_t bytes = statusRequestBytes);

// Parses a received datagram: the answer signal, then one JSON object in
// UTF-8 nesting no deeper than a node's answer could. False (and `status`
// untouched) for anything else. Never throws but std::bad_alloc.
bool parseStatusAnswer(const unsigned char* data, std::size_t size, StatusJson& status);

// The member `key` of `object`; null when `object` is no object or lacks it.
const StatusJson* jsonMember(const StatusJson& object, const char* key);

// One address a round asks.
struct AskTarget {
    std::string name;  // as given
    Port::IPv4Address address;
    bool broadcast = false;
    bool answered = false;  // set too when the request could not be sent
    bool notSent = false;
};

// Resolves the broadcast addresses and hosts to ask at `port`, broadcasts
// first (neither given: 255.255.255.255). Names that cannot be resolved go
// to `unresolved`.
std::vector<AskTarget> askTargets(const std::vector<std::string>& hosts, const std::vector<std::string>& broadcasts,
                                  std::uint16_t port, std::vector<std::string>& unresolved);

// Called for each datagram a round receives: true when it is an answer, so
// that every target of its sender's host counts as answered.
using TakeDatagram = std::function<bool(const Port::IPv4Address& from, const unsigned char* data, std::size_t size)>;

// The receive queue a round asks for: four answers from each of thousands of nodes.
constexpr int askReceiveBufferBytes = 4 * 1024 * 1024;

// Sends `request` from `socket` to every target (broadcasts allowed at the
// first broadcast target), then hands each datagram received, cut at one
// byte more than the request, to `take`, for `waitSeconds` or, when no
// target is a broadcast, until every target answered. Grows the socket's
// receive queue to askReceiveBufferBytes first. Marks the targets the
// request could not reach notSent. `dropped`, when given, gets how many
// datagrams the system dropped for want of room during the round (0 where it
// does not say). Returns false when the system refused broadcasts (the
// broadcast targets were then not asked). Never throws but what `take`
// throws. The socket's thread.
bool askRound(Port::DatagramSocket& socket, std::vector<AskTarget>& targets, const std::vector<unsigned char>& request,
              double waitSeconds, const TakeDatagram& take, std::uint64_t* dropped = nullptr);

}  // namespace Varnix
