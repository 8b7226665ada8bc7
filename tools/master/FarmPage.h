#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

#include "MasterOptions.h"
#include "StatusQuery.h"

namespace Varnix::Peer {

// What the farm page shows: the last answer of every node that ever
// answered, and when. Any thread; each call holds its own short lock.
class FarmBoard {
public:
    using Clock = std::chrono::steady_clock;

    explicit FarmBoard(double refreshSeconds) : refreshSeconds(refreshSeconds) {}

    // A node the board expects (on the roster, or named): listed from the
    // start with what it last said, and as not answering from the first round
    // on until it answers. `lastSeen` 0: never seen.
    void expect(std::uint32_t host, const std::string& name, std::time_t lastSeen, const std::string& lastState);

    // Takes one round's answers, seen at `now`.
    void update(const std::vector<NodeAnswer>& answers, Clock::time_point now);

    // The board as the page reads it: {"refresh_seconds", "rounds", "nodes": [{"address",
    // "answering", "seen_seconds_ago" (null: never), "attention": [...], "status": {...}}]},
    // the nodes that need an admin's eye first, then by name and address. A
    // node that does not answer keeps its last answer (or the roster's name and
    // state) as "status".
    StatusJson snapshot(Clock::time_point now) const;

private:
    struct Entry {
        StatusJson status;
        Clock::time_point seen;
        bool answered = false;   // since the board began
        std::time_t seenAt = 0;  // wall clock, for a node known from the roster alone
    };
    const double refreshSeconds;
    mutable std::mutex mutex;
    std::map<std::uint32_t, Entry> nodes;  // by address
    long long rounds = 0;
};

// The page itself, with the board's first snapshot built in so that it shows
// the nodes without waiting for a request of its own.
std::string farmPageHtml(const std::string& firstSnapshot);

// Runs "drmaster farm": serves the page on the address until Ctrl-C, asking
// the nodes every refresh interval. The exit status (MasterExit). Main thread.
int runFarm(const FarmOptions& options);

}  // namespace Varnix::Peer
