#include "Discover.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "Json.h"
#include "LinkValues.h"
#include "MasterExit.h"
#include "Reporter.h"
#include "port/socket.h"

namespace Varnix::Peer {

namespace {

using Clock = std::chrono::steady_clock;

struct Target {
    std::string name;  // as given
    Port::IPv4Address address;
    bool broadcast = false;
    bool answered = false;
};

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
    std::vector<Target> targets;
    std::vector<std::string> broadcasts = options.broadcasts;
    if (options.hosts.empty() && broadcasts.empty()) broadcasts.push_back(Port::IPv4Address::broadcast(0).dotted());
    const auto add = [&](const std::string& name, bool broadcast) {
        Target target;
        target.name = name;
        target.broadcast = broadcast;
        if (!Port::IPv4Address::resolve(name, discoveryPort, target.address)) {
            note(status, report.fail(masterUnknownHost, "cannot resolve host '" + name + "'"));
            return;
        }
        targets.push_back(target);
    };
    for (const std::string& address : broadcasts) add(address, true);
    for (const std::string& host : options.hosts) add(host, false);

    std::vector<Found> nodes;
    const auto start = Clock::now();
    Port::DatagramSocket socket(Port::IPv4Address::any(0));
    if (!targets.empty() && !socket.IsOk()) {
        note(status, report.fail(masterPingNotSent, "cannot open a UDP socket for the discovery ping"));
        targets.clear();
    }
    unsigned char ping[4];
    encodeSignal(masterGreeting, ping);
    bool broadcasting = false;
    int sent = 0;
    for (Target& target : targets) {
        if (target.broadcast && !broadcasting) {
            if (!socket.EnableBroadcast()) {
                note(status, report.fail(masterPingNotSent, "this system does not allow broadcasts"));
                break;
            }
            broadcasting = true;
        }
        if (socket.SendTo(target.address, ping, 4) != 4) {
            target.answered = true;  // reported here, not again as silent
            note(status, report.fail(masterPingNotSent, "cannot send the discovery ping to " + target.name + " (" +
                                                            target.address.dotted() +
                                                            "): no route to that network, or the address is not "
                                                            "one this machine may send to"));
            continue;
        }
        ++sent;
    }

    // Every node answers each ping four times; list each address once. With
    // named hosts only, stop as soon as all of them have answered.
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.waitSeconds));
    const auto allAnswered = [&] {
        return std::all_of(targets.begin(), targets.end(), [](const Target& t) { return !t.broadcast && t.answered; });
    };
    while (sent > 0 && !allAnswered()) {
        const auto now = Clock::now();
        if (now >= deadline) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        if (!socket.WaitForRead(static_cast<int>(std::min<long long>(left, 1000)))) continue;
        Port::IPv4Address from;
        unsigned char reply[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        while (socket.RecvFrom(from, reply, 4) >= 0) {
            const bool isReply = decodeSignal(reply) == nodeGreeting;
            std::fill(reply, reply + 4, 0xFF);
            if (!isReply) continue;
            from.port = 0;
            for (Target& target : targets)
                if (target.address.host == from.host) target.answered = true;
            if (std::any_of(nodes.begin(), nodes.end(), [&](const Found& f) { return f.address == from; })) continue;
            Found found;
            found.address = from;
            found.replyMilliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            nodes.push_back(found);
        }
    }

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
    for (const Target& target : targets) {
        if (target.broadcast || target.answered) continue;
        note(status, report.fail(masterNoAnswer, "no answer from " + target.name + " (" + target.address.dotted() +
                                                     ") within " + seconds(options.waitSeconds)));
        silent.push_back(jsonString(target.name));
    }
    if (broadcasting && nodes.empty() && status == masterOk)
        note(status,
             report.fail(masterNoAnswer, "no node answered the discovery ping within " + seconds(options.waitSeconds)));

    std::vector<std::string> pinged;
    for (const Target& target : targets) pinged.push_back(jsonString(target.name));
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
