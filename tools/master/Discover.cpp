#include "Discover.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "LinkValues.h"
#include "MasterExit.h"
#include "port/socket.h"

namespace Varnix::Peer {

namespace {

using Clock = std::chrono::steady_clock;

struct Target {
    std::string name;
    Port::IPv4Address address;
    bool answered = false;
};

}  // namespace

int runDiscover(const DiscoverOptions& options) {
    int status = kMasterOk;
    std::vector<Target> targets;
    for (const std::string& host : options.hosts) {
        Target target;
        target.name = host;
        if (!Port::IPv4Address::resolve(host, kDiscoveryPort, target.address)) {
            std::fprintf(stderr, "drmaster: error: cannot resolve host '%s'\n", host.c_str());
            status = kMasterUnknownHost;
            continue;
        }
        targets.push_back(target);
    }
    if (!options.hosts.empty() && targets.empty())
        return status;

    Port::DatagramSocket socket(Port::IPv4Address::any(0));
    if (!socket.IsOk()) {
        std::fprintf(stderr, "drmaster: error: cannot open a UDP socket\n");
        return kMasterUnreachable;
    }
    unsigned char ping[4];
    putLE32(kMasterGreeting, ping);
    if (targets.empty()) {
        const Port::IPv4Address everyone = Port::IPv4Address::broadcast(kDiscoveryPort);
        if (!socket.EnableBroadcast() || socket.SendTo(everyone, ping, 4) != 4) {
            std::fprintf(stderr, "drmaster: error: cannot send the discovery ping by broadcast\n");
            return kMasterUnreachable;
        }
    } else {
        for (Target& target : targets) {
            if (socket.SendTo(target.address, ping, 4) != 4)
                std::fprintf(stderr, "drmaster: error: cannot send the discovery ping to %s\n", target.name.c_str());
        }
    }

    // Every node answers each ping four times; list each address once.
    std::vector<Port::IPv4Address> nodes;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(options.waitSeconds));
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline)
            break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        if (!socket.WaitForRead(static_cast<int>(std::min<long long>(left, 1000))))
            continue;
        Port::IPv4Address from;
        unsigned char reply[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        while (socket.RecvFrom(from, reply, 4) >= 0) {
            const bool isReply = getLE32(reply) == kNodeGreeting;
            std::fill(reply, reply + 4, 0xFF);
            if (!isReply)
                continue;
            from.port = 0;
            if (std::find(nodes.begin(), nodes.end(), from) != nodes.end())
                continue;
            nodes.push_back(from);
            for (Target& target : targets)
                if (target.address.host == from.host)
                    target.answered = true;
        }
    }

    for (const Port::IPv4Address& node : nodes) {
        const std::string dotted = node.dotted();
        const std::string name = options.numeric ? dotted : node.hostname();
        if (name != dotted)
            std::printf("%s\t%s\n", dotted.c_str(), name.c_str());
        else
            std::printf("%s\n", dotted.c_str());
    }
    std::fflush(stdout);

    if (targets.empty()) {
        if (nodes.empty()) {
            std::fprintf(stderr, "drmaster: no node answered the discovery ping\n");
            return kMasterNoAnswer;
        }
        return status;
    }
    for (const Target& target : targets) {
        if (!target.answered) {
            std::fprintf(stderr, "drmaster: no answer from %s (%s)\n", target.name.c_str(),
                         target.address.dotted().c_str());
            if (status == kMasterOk)
                status = kMasterNoAnswer;
        }
    }
    return status;
}

}  // namespace Varnix::Peer
