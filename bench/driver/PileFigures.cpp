// The cost of a dump as dumps pile up in the data directory, and of the
// purge: the node's own relay against the plain relay's loop.
#include "Bench.h"

#include "Process.h"
#include "Report.h"
#include "Stats.h"
#include "WorkFiles.h"

#include <cstdio>

namespace bench {

void Bench::benchPile() {
    const int counts[] = {10, 1000, 10000};
    // About 10,000 dumps per figure, so that the small piles are not one
    // short moment each.
    auto roundsFor = [this](int count) { return opt.reps <= 1 ? 1 : std::max(1, 10000 / count); };
    // Three rounds of node and plain taking turns at going first, and the
    // median of each: one round of 10,000 is a single moment of the machine.
    const int tries = opt.reps <= 1 ? 1 : 3;
    std::map<std::string, std::vector<double>> relayUs, purgeUs;
    fs::path dir = root / "pile";
    for (int count : counts) {
        std::map<std::string, std::vector<double>> relayTries, purgeTries;
        const int rounds = roundsFor(count);
        for (int turn = 0; turn < tries; ++turn) {
            for (const std::string& kind : turn % 2 == 0 ? std::vector<std::string>{"node", "plain"}
                                                         : std::vector<std::string>{"plain", "node"}) {
                fs::remove_all(dir);
                fs::create_directories(dir);
                fs::path output = root / "pile.out";
                settle();
                int code = bench::run({opt.bin + "/varnix-bench-transfer", "pile", kind, dir.string(),
                                       std::to_string(count), std::to_string(rounds)},
                                      root.string(), output.string(), 1800, {}, nullptr, nodeSide);
                double relaySeconds = 0, purgeSeconds = 0;
                if (code != 0 ||
                    std::sscanf(readText(output).c_str(), "relay %lf purge %lf", &relaySeconds, &purgeSeconds) != 2)
                    die("the " + kind + " pile of " + std::to_string(count) + " failed; see " + root.string());
                double dumps = double(count) * rounds;
                relayTries[kind].push_back(relaySeconds / dumps * 1e6);
                purgeTries[kind].push_back(purgeSeconds / dumps * 1e6);
                say("pile of " + grouped(count) + ", " + kind + ": " + fmt(relaySeconds / dumps * 1e6, 1) +
                    " µs per dump relayed, " + fmt(purgeSeconds / dumps * 1e6, 1) + " µs per dump purged");
            }
        }
        for (const std::string kind : {"node", "plain"}) {
            relayUs[kind].push_back(median(relayTries[kind]));
            purgeUs[kind].push_back(median(purgeTries[kind]));
        }
    }
    fs::remove_all(dir);
    auto three = [](const std::vector<double>& us) {
        return fmt(us[0], 1) + " / " + fmt(us[1], 1) + " / " + fmt(us[2], 1);
    };
    auto growth = [](const std::map<std::string, std::vector<double>>& us) {
        return "10,000 over 10: node " + fmt(us.at("node")[2] / us.at("node")[0], 2) + ", plain " +
               fmt(us.at("plain")[2] / us.at("plain")[0], 2);
    };
    addRow({"Per-dump relay time with 10 / 1,000 / 10,000 small dumps (4,096 bytes) waiting, over loopback to a "
            "reader that drops them (µs per dump, median of " +
                std::to_string(tries) + "; the node's own relay, its lines queued, against the plain relay)",
            three(relayUs["node"]), three(relayUs["plain"]), growth(relayUs), "10,000 ≤ 2 × 10"});
    addRow({"Per-dump purge time with 10 / 1,000 / 10,000 dumps waiting (µs per dump)", three(purgeUs["node"]),
            three(purgeUs["plain"]), growth(purgeUs), "10,000 ≤ 2 × 10"});
}

}  // namespace bench
