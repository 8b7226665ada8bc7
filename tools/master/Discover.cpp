#include "Discover.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "Json.h"
#include "LinkValues.h"
#include "MasterExit.h"
#include "Reporter.h"
#include "StatusQuery.h"
#include "node/StatusClient.h"

namespace Varnix::Peer {

namespace {

using Clock = std::chrono::steady_clock;

struct Found {
    Port::IPv4Address address;
    double replyMilliseconds = 0;
    std::string host;
};

std::string milliseconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", value);
    return text;
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", value);
    return text;
}

// Keeps the worst failure: an unknown name first, then a ping not sent, then silence.
void note(int& status, int failure) {
    const auto rank = [](int s) {
        return s == masterUnknownHost ? 3 : s == masterPingNotSent ? 2 : s == masterNoAnswer ? 1 : 0;
    };
    if (rank(failure) > rank(status)) status = failure;
}

}  // namespace

int runDiscover(const DiscoverOptions& options) {
    Reporter report(options.json);
    int status = masterOk;
    std::vector<std::string> unresolved;
    std::vector<AskTarget> targets = askTargets(options.hosts, options.broadcasts, discoveryPort, unresolved);
    for (const std::string& name : unresolved)
        note(status, report.fail(masterUnknownHost, "cannot resolve host '" + name + "'"));

    std::vector<Found> nodes;
    const auto start = Clock::now();
    Port::DatagramSocket socket(Port::IPv4Address::any(0));
    if (!targets.empty() && !socket.IsOk()) {
        note(status, report.fail(masterPingNotSent, "cannot open a UDP socket for the discovery ping"));
        targets.clear();
    }
    // Every node answers each ping four times; list each address once.
    const auto take = [&](Port::IPv4Address from, const unsigned char* data, std::size_t size) {
        if (size < 4 || decodeSignal(data) != nodeGreeting) return false;
        from.port = 0;
        if (std::none_of(nodes.begin(), nodes.end(), [&](const Found& f) { return f.address == from; }))
            nodes.push_back({from, std::chrono::duration<double, std::milli>(Clock::now() - start).count(), ""});
        return true;
    };
    std::vector<unsigned char> ping(4);
    encodeSignal(masterGreeting, ping.data());
    bool broadcasting = !targets.empty() && targets.front().broadcast;
    std::uint64_t dropped = 0;
    if (!targets.empty() && !askRound(socket, targets, ping, options.waitSeconds, take, &dropped)) {
        note(status, report.fail(masterPingNotSent, "this system does not allow broadcasts"));
        broadcasting = false;
    }
    for (const AskTarget& target : targets)
        if (target.notSent)
            note(status, report.fail(masterPingNotSent, "cannot send the discovery ping to " + target.name + " (" +
                                                            target.address.dotted() +
                                                            "): no route to that network, or the address is not "
                                                            "one this machine may send to"));

    std::vector<std::string> listed;
    for (Found& node : nodes) {
        const std::string dotted = node.address.dotted();
        const std::string name = options.numeric ? dotted : node.address.hostname();
        node.host = name == dotted ? "-" : name;
        if (!report.json())
            std::printf("%s\t%s\t%s\n", dotted.c_str(), node.host.c_str(),
                        milliseconds(node.replyMilliseconds).c_str());
        listed.push_back(JsonObject()
                             .add("address", jsonString(dotted))
                             .add("host", name == dotted ? "null" : jsonString(name))
                             .add("reply_ms", jsonNumber(node.replyMilliseconds))
                             .text());
    }
    std::fflush(stdout);

    std::vector<std::string> silent;
    for (const AskTarget& target : targets) {
        if (target.broadcast || target.answered) continue;
        note(status, report.fail(masterNoAnswer, "no answer from " + target.name + " (" + target.address.dotted() +
                                                     ") within " + seconds(options.waitSeconds)));
        silent.push_back(jsonString(target.name));
    }
    // Answers the system dropped may be the only ones of some node: a list
    // that may be short is not reported as the whole farm.
    if (dropped > 0 && (broadcasting || status == masterNoAnswer))
        note(status, report.fail(masterNoAnswer, droppedAnswers(dropped)));
    if (broadcasting && nodes.empty() && status == masterOk)
        note(status,
             report.fail(masterNoAnswer, "no node answered the discovery ping within " + seconds(options.waitSeconds)));

    std::vector<std::string> pinged;
    for (const AskTarget& target : targets) pinged.push_back(jsonString(target.name));
    report.emit(JsonObject()
                    .add("command", jsonString("discover"))
                    .add("wait_seconds", jsonNumber(options.waitSeconds))
                    .add("pinged", jsonArray(pinged))
                    .add("nodes", jsonArray(listed))
                    .add("silent", jsonArray(silent))
                    .add("outcome", jsonString(outcomeName(status)))
                    .add("status", jsonNumber(static_cast<int64_t>(status)))
                    .add("message", report.message().empty() ? "null" : jsonString(report.message()))
                    .text());
    return status;
}

}  // namespace Varnix::Peer
