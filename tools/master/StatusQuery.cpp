#include "StatusQuery.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "node/Protocol.h"

namespace Varnix::Peer {

namespace {

using Clock = std::chrono::steady_clock;
using json = StatusJson;

const json* member(const json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

double numberOr(const json& object, const char* key, double fallback) {
    const json* value = member(object, key);
    return value && value->is_number() ? value->get<double>() : fallback;
}

std::string textOr(const json& object, const char* key, const std::string& fallback) {
    const json* value = member(object, key);
    return value && value->is_string() ? value->get<std::string>() : fallback;
}

}  // namespace

bool parseStatusAnswer(const unsigned char* data, std::size_t size, json& status) {
    if (size < 4 || decodeSignal(data) != statusAnswer) return false;
    json parsed = json::parse(data + 4, data + size, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return false;
    status = std::move(parsed);
    return true;
}

std::vector<StatusTarget> statusTargets(const std::vector<std::string>& hosts,
                                        const std::vector<std::string>& broadcasts,
                                        std::vector<std::string>& unresolved) {
    std::vector<StatusTarget> targets;
    const auto add = [&](const std::string& name, bool broadcast) {
        StatusTarget target;
        target.name = name;
        target.broadcast = broadcast;
        if (Port::IPv4Address::resolve(name, discoveryPort, target.address))
            targets.push_back(target);
        else
            unresolved.push_back(name);
    };
    for (const std::string& address : broadcasts) add(address, true);
    if (hosts.empty() && broadcasts.empty()) add(Port::IPv4Address::broadcast(0).dotted(), true);
    for (const std::string& host : hosts) add(host, false);
    return targets;
}

StatusRound askStatus(std::vector<StatusTarget>& targets, double waitSeconds) {
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
    std::vector<unsigned char> request(statusRequestBytes, 0);
    encodeSignal(statusRequest, request.data());
    bool broadcasting = false;
    int sent = 0;
    for (StatusTarget& target : targets) {
        if (target.broadcast && !broadcasting) {
            if (!socket.EnableBroadcast()) {
                round.broadcastRefused = true;
                continue;
            }
            broadcasting = true;
        }
        if (socket.SendTo(target.address, request.data(), request.size()) != static_cast<int>(request.size())) {
            round.notSent.push_back(target.name);
            target.answered = true;  // reported as not sent, not again as silent
            continue;
        }
        ++sent;
    }

    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(waitSeconds));
    const auto allAnswered = [&] {
        return std::all_of(targets.begin(), targets.end(),
                           [](const StatusTarget& t) { return !t.broadcast && t.answered; });
    };
    std::vector<unsigned char> answer(statusRequestBytes + 1);
    while (sent > 0 && !allAnswered()) {
        const auto now = Clock::now();
        if (now >= deadline) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        if (!socket.WaitForRead(static_cast<int>(std::min<long long>(left, 1000)))) continue;
        Port::IPv4Address from;
        int count;
        while ((count = socket.RecvFrom(from, answer.data(), answer.size())) >= 0) {
            if (count < 4 || decodeSignal(answer.data()) != statusAnswer) continue;
            from.port = 0;
            if (std::any_of(round.nodes.begin(), round.nodes.end(),
                            [&](const NodeAnswer& n) { return n.address == from; }))
                continue;
            NodeAnswer node;
            if (!parseStatusAnswer(answer.data(), static_cast<std::size_t>(count), node.status)) {
                const std::string dotted = from.dotted();
                if (std::find(round.badAnswers.begin(), round.badAnswers.end(), dotted) == round.badAnswers.end())
                    round.badAnswers.push_back(dotted);
                for (StatusTarget& target : targets)
                    if (target.address.host == from.host) target.answered = true;
                continue;
            }
            for (StatusTarget& target : targets)
                if (target.address.host == from.host) target.answered = true;
            node.address = from;
            node.replyMilliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            round.nodes.push_back(std::move(node));
        }
    }
    return round;
}

std::vector<std::string> attentionReasons(const json& status) {
    std::vector<std::string> reasons;
    const json* last = member(status, "last_job");
    const std::string outcome = last ? textOr(*last, "outcome", "") : "";
    if (outcome == "failed") reasons.push_back("failed job");
    if (outcome == "limit") reasons.push_back("limit reached");
    if (numberOr(status, "log_lines_lost", 0) > 0) reasons.push_back("log lines lost");
    const json* job = member(status, "job");
    if (job && job->is_object()) {
        const json* dialog = member(*job, "dialog");
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
