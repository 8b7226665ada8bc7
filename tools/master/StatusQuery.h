#pragma once

#include <string>
#include <vector>

#include "node/StatusClient.h"

namespace Varnix::Peer {

using Varnix::AskTarget;
using Varnix::parseStatusAnswer;
using Varnix::StatusJson;

// A node's answer to a status request: its address (port 0) and the JSON
// object it sent.
struct NodeAnswer {
    Port::IPv4Address address;
    StatusJson status;
    double replyMilliseconds = 0;
};

struct StatusRound {
    std::vector<NodeAnswer> nodes;        // each address once, in the order they answered
    std::vector<std::string> badAnswers;  // addresses that sent a status answer that is no JSON object
    bool broadcastRefused = false;
    bool socketFailed = false;
};

// Sends one status request to every target (askTargets() on the discovery
// port) and collects the answers for `waitSeconds`, or until every named
// target has answered when there is no broadcast. Marks the targets that
// answered or could not be sent to. Never throws. One thread.
StatusRound askStatus(std::vector<AskTarget>& targets, double waitSeconds);

// Why a node needs an admin's eye, in words ("failed job", "limit reached",
// "licence error", "graphics device failure", "log lines lost", "dialog
// open", "renderer silent"); empty when it does not.
std::vector<std::string> attentionReasons(const StatusJson& status);

// How long a renderer may send no dump before its node needs an admin's eye.
constexpr int rendererSilentAttentionSeconds = 600;

// A whole number of seconds as "45s", "12m05s", "3h07m", "2d04h". "-" when negative.
std::string shortDuration(long long seconds);

// The JSON text of `value` with bytes that are no UTF-8 replaced, never throwing.
std::string jsonText(const StatusJson& value);

}  // namespace Varnix::Peer
