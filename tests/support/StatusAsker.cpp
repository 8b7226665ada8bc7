#include "support/StatusAsker.h"

#include "node/StatusClient.h"

#include <chrono>
#include <functional>
#include <vector>

namespace VarnixTest {

using Varnix::StatusJson;
using Varnix::Port::IPv4Address;

std::string askStatus(std::uint16_t port, std::size_t requestBytes, double seconds) {
    Varnix::Port::DatagramSocket asker(IPv4Address::loopback(0));
    std::vector<Varnix::AskTarget> target(1);
    target[0].address = IPv4Address::loopback(port);
    std::string answer;
    Varnix::askRound(asker, target, Varnix::statusRequestDatagram(requestBytes), seconds,
                     [&](const IPv4Address&, const unsigned char* data, std::size_t size) {
                         if (answer.empty()) answer.assign(reinterpret_cast<const char*>(data), size);
                         return true;
                     });
    return answer;
}

std::string askStatusUntilAnswered(std::uint16_t port, double seconds, std::size_t requestBytes) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000));
    while (std::chrono::steady_clock::now() < deadline) {
        std::string answer = askStatus(port, requestBytes, 1);
        if (!answer.empty()) return answer;
    }
    return {};
}

std::string statusJson(const std::string& datagram) {
    StatusJson parsed;
    bool answer =
        Varnix::parseStatusAnswer(reinterpret_cast<const unsigned char*>(datagram.data()), datagram.size(), parsed);
    return answer ? datagram.substr(4) : std::string();
}

std::string jsonValue(const std::string& json, const std::string& key, const std::string& after) {
    const StatusJson parsed = StatusJson::parse(json, nullptr, false);
    // Members in the order they are written, nested ones after their parent.
    std::vector<std::pair<std::string, const StatusJson*>> members;
    std::function<void(const StatusJson&)> walk = [&](const StatusJson& value) {
        if (value.is_object())
            for (auto it = value.begin(); it != value.end(); ++it) {
                members.emplace_back(it.key(), &it.value());
                walk(it.value());
            }
        else if (value.is_array())
            for (const StatusJson& element : value) walk(element);
    };
    if (!parsed.is_discarded()) walk(parsed);
    bool past = after.empty();
    for (const auto& [name, value] : members) {
        if (past && name == key) return value->is_string() ? value->get<std::string>() : value->dump();
        past = past || name == after;
    }
    return {};
}

}  // namespace VarnixTest
