#include "node/StatusClient.h"

#include <algorithm>
#include <chrono>

namespace Varnix {

namespace {

// The answer nests three levels (job.dialog.pid); much deeper is no node's.
constexpr int maxAnswerDepth = 8;

}  // namespace

std::vector<unsigned char> statusRequestDatagram(std::size_t bytes) {
    std::vector<unsigned char> request(std::max<std::size_t>(bytes, 4), 0);
    encodeSignal(statusRequest, request.data());
    request.resize(bytes);
    return request;
}

bool parseStatusAnswer(const unsigned char* data, std::size_t size, StatusJson& status) {
    if (size < 4 || decodeSignal(data) != statusAnswer) return false;
    bool tooDeep = false;
    StatusJson parsed = StatusJson::parse(
        data + 4, data + size,
        [&](int depth, StatusJson::parse_event_t, StatusJson&) {
            tooDeep = tooDeep || depth > maxAnswerDepth;
            return !tooDeep;
        },
        false);
    if (tooDeep || parsed.is_discarded() || !parsed.is_object()) return false;
    status = std::move(parsed);
    return true;
}

const StatusJson* jsonMember(const StatusJson& object, const char* key) {
    if (!object.is_object()) return nullptr;
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::vector<AskTarget> askTargets(const std::vector<std::string>& hosts, const std::vector<std::string>& broadcasts,
                                  std::uint16_t port, std::vector<std::string>& unresolved) {
    std::vector<AskTarget> targets;
    const auto add = [&](const std::string& name, bool broadcast) {
        AskTarget target;
        target.name = name;
        target.broadcast = broadcast;
        if (Port::IPv4Address::resolve(name, port, target.address))
            targets.push_back(target);
        else
            unresolved.push_back(name);
    };
    for (const std::string& address : broadcasts) add(address, true);
    if (hosts.empty() && broadcasts.empty()) add(Port::IPv4Address::broadcast(0).dotted(), true);
    for (const std::string& host : hosts) add(host, false);
    return targets;
}

bool askRound(Port::DatagramSocket& socket, std::vector<AskTarget>& targets, const std::vector<unsigned char>& request,
              double waitSeconds, const TakeDatagram& take, std::uint64_t* dropped) {
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(waitSeconds));
    // A farm answers at once, each node several times: room for thousands of answers.
    socket.SetReceiveBufferSize(askReceiveBufferBytes);
    std::uint64_t droppedBefore = 0;
    socket.DroppedCount(droppedBefore);

    std::vector<unsigned char> datagram(std::max<std::size_t>(request.size(), 4) + 1);
    const auto drain = [&] {
        Port::IPv4Address from;
        int count;
        while ((count = socket.RecvFrom(from, datagram.data(), datagram.size())) >= 0) {
            if (!take(from, datagram.data(), static_cast<std::size_t>(count))) continue;
            for (AskTarget& target : targets)
                if (target.address.host == from.host) target.answered = true;
        }
    };
    bool broadcasting = false, refused = false;
    int sent = 0;
    for (AskTarget& target : targets) {
        if (target.broadcast && !broadcasting) {
            if (refused || !socket.EnableBroadcast()) {
                refused = true;
                continue;
            }
            broadcasting = true;
        }
        if (socket.SendTo(target.address, request.data(), request.size()) != static_cast<int>(request.size())) {
            target.notSent = target.answered = true;  // reported as not sent, not again as silent
            continue;
        }
        // Many named hosts: take the first answers while still asking.
        if (++sent % 64 == 0) drain();
    }

    const auto allAnswered = [&] {
        return std::all_of(targets.begin(), targets.end(),
                           [](const AskTarget& t) { return !t.broadcast && t.answered; });
    };
    while (sent > 0 && !allAnswered()) {
        const auto now = Clock::now();
        if (now >= deadline) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        if (socket.WaitForRead(static_cast<int>(std::min<long long>(left, 1000)))) drain();
    }
    std::uint64_t droppedAfter = 0;
    if (dropped)
        *dropped = socket.DroppedCount(droppedAfter) && droppedAfter > droppedBefore ? droppedAfter - droppedBefore : 0;
    return !refused;
}

}  // namespace Varnix
