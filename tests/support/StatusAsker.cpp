#include "support/StatusAsker.h"

#include "node/Protocol.h"
#include "port/socket.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace VarnixTest {

using Varnix::Port::DatagramSocket;
using Varnix::Port::IPv4Address;

std::string askStatus(std::uint16_t port, std::size_t requestBytes, double seconds) {
    DatagramSocket asker(IPv4Address::loopback(0));
    std::vector<unsigned char> request(std::max<std::size_t>(requestBytes, 4), 0);
    Varnix::encodeSignal(Varnix::statusRequest, request.data());
    asker.SendTo(IPv4Address::loopback(port), request.data(), requestBytes);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000));
    std::vector<char> buffer(65536);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!asker.WaitForRead(50)) continue;
        IPv4Address from;
        int received = asker.RecvFrom(from, buffer.data(), buffer.size());
        if (received >= 0) return std::string(buffer.data(), std::size_t(received));
    }
    return {};
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
    if (datagram.size() < 4) return {};
    unsigned char signal[4];
    for (int i = 0; i < 4; ++i) signal[i] = static_cast<unsigned char>(datagram[std::size_t(i)]);
    if (Varnix::decodeSignal(signal) != Varnix::statusAnswer) return {};
    return datagram.substr(4);
}

std::string jsonValue(const std::string& json, const std::string& key, const std::string& after) {
    std::size_t from = 0;
    if (!after.empty()) {
        from = json.find("\"" + after + "\":");
        if (from == std::string::npos) return {};
    }
    std::string quotedKey = "\"" + key + "\":";
    std::size_t at = json.find(quotedKey, from);
    if (at == std::string::npos) return {};
    std::size_t start = at + quotedKey.size();
    if (start >= json.size()) return {};
    if (json[start] == '"') {
        std::size_t end = start + 1;
        while (end < json.size() && json[end] != '"') end += json[end] == '\\' ? 2 : 1;
        return json.substr(start + 1, end - start - 1);
    }
    int depth = 0;
    bool inString = false;
    std::size_t end = start;
    for (; end < json.size(); ++end) {
        char c = json[end];
        if (inString) {
            if (c == '\\')
                ++end;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        else if (c == '{' || c == '[')
            ++depth;
        else if (c == '}' || c == ']') {
            if (depth == 0) break;
            if (--depth == 0) {
                ++end;
                break;
            }
        } else if (c == ',' && depth == 0)
            break;
    }
    return json.substr(start, end - start);
}

}  // namespace VarnixTest
