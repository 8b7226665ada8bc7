#include "Wake.h"

#include "Json.h"
#include "MasterExit.h"
#include "port/socket.h"

#include <cstdio>

namespace Varnix::Peer {

namespace {

// Three copies: a datagram that the switch drops costs the admin a night's
// render, and a card that is awake ignores the rest.
constexpr int packetCopies = 3;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool parseHardwareAddress(const std::string& text, std::array<std::uint8_t, 6>& out) {
    if (text.size() != 17) return false;
    const char separator = text[2];
    if (separator != ':' && separator != '-') return false;
    for (std::size_t i = 0; i < 6; ++i) {
        const std::size_t at = i * 3;
        if (i < 5 && text[at + 2] != separator) return false;
        const int high = hexDigit(text[at]);
        const int low = hexDigit(text[at + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = std::uint8_t(high * 16 + low);
    }
    return true;
}

std::string wakePacket(const std::array<std::uint8_t, 6>& machine) {
    std::string packet(6, '\xFF');
    for (int i = 0; i < 16; ++i) packet.append(reinterpret_cast<const char*>(machine.data()), machine.size());
    return packet;
}

int runWake(const WakeOptions& options) {
    using Varnix::Port::DatagramSocket;
    using Varnix::Port::IPv4Address;
    auto report = [&](int status, const std::string& message, const std::vector<std::string>& sent) {
        if (options.json) {
            std::vector<std::string> quoted;
            for (const std::string& text : sent) quoted.push_back(jsonString(text));
            std::printf("%s\n", JsonObject()
                                    .add("command", jsonString("wake"))
                                    .add("to", jsonString(options.broadcast + ":" + std::to_string(options.port)))
                                    .add("sent", jsonArray(quoted))
                                    .add("outcome", jsonString(outcomeName(status)))
                                    .add("status", jsonNumber(static_cast<int64_t>(status)))
                                    .add("message", message.empty() ? "null" : jsonString(message))
                                    .text()
                                    .c_str());
        } else if (!message.empty()) {
            std::fprintf(stderr, "drmaster: error: %s\n", message.c_str());
        }
        return status;
    };
    IPv4Address to;
    if (!IPv4Address::resolve(options.broadcast, std::uint16_t(options.port), to))
        return report(masterUnknownHost, "cannot resolve " + options.broadcast, {});
    DatagramSocket socket(IPv4Address::any(0));
    if (!socket.IsOk() || !socket.EnableBroadcast())
        return report(masterPingNotSent, "this system does not allow broadcasts", {});
    std::vector<std::string> sent;
    for (std::size_t i = 0; i < options.machines.size(); ++i) {
        const std::string packet = wakePacket(options.machines[i]);
        bool left = false;
        for (int copy = 0; copy < packetCopies; ++copy)
            left = socket.SendTo(to, packet.data(), packet.size()) == int(packet.size()) || left;
        if (!left)
            return report(masterPingNotSent,
                          "the wake-up packet for " + options.texts[i] + " could not be sent to " + options.broadcast,
                          sent);
        sent.push_back(options.texts[i]);
        if (!options.json)
            std::printf("Sent the wake-up packet for %s to %s:%d\n", options.texts[i].c_str(),
                        options.broadcast.c_str(), options.port);
    }
    return report(masterOk, "", sent);
}

}  // namespace Varnix::Peer
