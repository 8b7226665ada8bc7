#include "StatusQuery.h"

#include "node/RendererExit.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace Varnix::Peer {

namespace {

using Clock = std::chrono::steady_clock;
using json = StatusJson;

double numberOr(const json& object, const char* key, double fallback) {
    const json* value = jsonMember(object, key);
    return value && value->is_number() ? value->get<double>() : fallback;
}

std::string textOr(const json& object, const char* key, const std::string& fallback) {
    const json* value = jsonMember(object, key);
    return value && value->is_string() ? value->get<std::string>() : fallback;
}

}  // namespace

StatusRound askStatus(std::vector<AskTarget>& targets, double waitSeconds) {
    StatusRound round;
    const auto start = Clock::now();
    Port::DatagramSocket socket(Port::IPv4Address::any(0));
    if (targets.empty()) return round;
    if (!socket.IsOk()) {
        round.socketFailed = true;
        return round;
    }
    // A farm answers at once: make room for a burst of answers.
    socket.SetReceiveBufferSize(4 * 1024 * 1024);
    const auto take = [&](Port::IPv4Address from, const unsigned char* data, std::size_t size) {
        if (size < 4 || decodeSignal(data) != statusAnswer) return false;
        from.port = 0;
        if (std::any_of(round.nodes.begin(), round.nodes.end(), [&](const NodeAnswer& n) { return n.address == from; }))
            return true;
        NodeAnswer node;
        if (!parseStatusAnswer(data, size, node.status)) {
            if (std::find(round.badAnswers.begin(), round.badAnswers.end(), from.dotted()) == round.badAnswers.end())
                round.badAnswers.push_back(from.dotted());
            return true;
        }
        node.address = from;
        node.replyMilliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        round.nodes.push_back(std::move(node));
        return true;
    };
    round.broadcastRefused = !askRound(socket, targets, statusRequestDatagram(), waitSeconds, take);
    return round;
}

std::vector<std::string> attentionReasons(const json& status) {
    std::vector<std::string> reasons;
    const json* last = jsonMember(status, "last_job");
    const std::string outcome = last ? textOr(*last, "outcome", "") : "";
    if (outcome == "failed") reasons.push_back("failed job");
    if (outcome == "limit") reasons.push_back("limit reached");
    // A licence or graphics device that fails fails every job, until an admin mends it.
    const json* exit = last ? jsonMember(*last, "renderer_exit") : nullptr;
    if (exit && exit->is_number_integer())
        if (const char* why = rendererExitAttention(exit->get<long long>())) reasons.push_back(why);
    if (numberOr(status, "log_lines_lost", 0) > 0) reasons.push_back("log lines lost");
    const json* job = jsonMember(status, "job");
    if (job && job->is_object()) {
        const json* dialog = jsonMember(*job, "dialog");
        if (dialog && !dialog->is_null()) reasons.push_back("dialog open");
        if (numberOr(*job, "renderer_silent_seconds", 0) >= rendererSilentAttentionSeconds)
            reasons.push_back("renderer silent");
    }
    return reasons;
}

std::string shortDuration(long long seconds) {
    if (seconds < 0) return "-";
    char text[32];
    if (seconds < 60)
        std::snprintf(text, sizeof text, "%llds", seconds);
    else if (seconds < 3600)
        std::snprintf(text, sizeof text, "%lldm%02llds", seconds / 60, seconds % 60);
    else if (seconds < 86400)
        std::snprintf(text, sizeof text, "%lldh%02lldm", seconds / 3600, seconds / 60 % 60);
    else
        std::snprintf(text, sizeof text, "%lldd%02lldh", seconds / 86400, seconds / 3600 % 24);
    return text;
}

std::string jsonText(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace Varnix::Peer
