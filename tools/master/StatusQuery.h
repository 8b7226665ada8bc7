#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "node/Protocol.h"
#include "port/socket.h"

namespace Varnix::Peer {

// A status answer as parsed: fields keep the order the node sent them in.
using StatusJson = nlohmann::ordered_json;

// A node's answer to a status request: its address (port 0) and the JSON
// object it sent.
struct NodeAnswer {
    Port::IPv4Address address;
    StatusJson status;
    double replyMilliseconds = 0;
};

// Where to ask: broadcast addresses and named hosts, already resolved.
struct StatusTarget {
    std::string name;  // as given
    Port::IPv4Address address;
    bool broadcast = false;
    bool answered = false;
};

struct StatusRound {
    std::vector<NodeAnswer> nodes;        // each address once, in the order they answered
    std::vector<std::string> notSent;     // targets the request could not be sent to (their name)
    std::vector<std::string> badAnswers;  // addresses that sent a status answer that is no JSON object
    bool broadcastRefused = false;
    bool socketFailed = false;
};

// Resolves the hosts and broadcast addresses to ask (none: 255.255.255.255).
// The names that cannot be resolved go to `unresolved`.
std::vector<StatusTarget> statusTargets(const std::vector<std::string>& hosts,
                                        const std::vector<std::string>& broadcasts,
                                        std::vector<std::string>& unresolved);

// Sends one status request to every target and collects the answers for
// `waitSeconds`, or until every named target has answered when there is no
// broadcast. Marks the targets that answered. Never throws. One thread.
StatusRound askStatus(std::vector<StatusTarget>& targets, double waitSeconds);

// Parses a received datagram: the answer signal and a JSON object. False
// (and `status` untouched) for any other datagram.
bool parseStatusAnswer(const unsigned char* data, std::size_t size, StatusJson& status);

// Why a node needs an admin's eye, in words ("failed job", "limit reached",
// "log lines lost", "dialog open", "renderer silent"); empty when it does not.
std::vector<std::string> attentionReasons(const StatusJson& status);

// How long a renderer may send no dump before its node needs an admin's eye.
constexpr int rendererSilentAttentionSeconds = 600;

// A whole number of seconds as "45s", "12m05s", "3h07m", "2d04h". "-" when negative.
std::string shortDuration(long long seconds);

// The JSON text of `value` with bytes that are no UTF-8 replaced, never throwing.
std::string jsonText(const StatusJson& value);

}  // namespace Varnix::Peer
