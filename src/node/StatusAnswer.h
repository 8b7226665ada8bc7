#pragma once
// The status answer: what the node is doing, as the JSON text of one UDP
// datagram (docs/protocol.md), built from a copy of the published state and
// the facts that do not change while the node runs. Builds text only: no
// lock, no disk, no log. Any thread.

#include "node/NodeState.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Varnix {

struct RendererLimits;
struct NodeSettings;

// What the answer says that stays as it was at the service's start.
struct StatusFacts {
    std::u16string name;
    std::u16string version;
    // Every renderer limit by its registry value's name; 0: unset.
    std::vector<std::pair<std::string, std::uint32_t>> limits;
    // The 3ds Max releases DrConfig.txt configures, oldest first.
    std::vector<int> maxVersions;
    // The machine's hardware addresses ("aa:bb:cc:dd:ee:ff"), so that a
    // farm that sleeps can be woken over the network.
    std::vector<std::string> macAddresses;
};

// The facts of a node with `settings` (its limits and releases), named
// `name`, running `version`, on this machine (its hardware addresses).
StatusFacts statusFacts(const NodeSettings& settings, const std::u16string& name, const std::u16string& version);

// What other threads sample for the answer.
struct StatusSample {
    // Free space on the data folder's disk; -1: not known.
    std::int64_t freeDiskMb = -1;
    std::uint64_t logLinesLost = 0;

    bool operator==(const StatusSample& other) const {
        return freeDiskMb == other.freeDiskMb && logLinesLost == other.logLinesLost;
    }
};

// Longest text of each kind the answer carries, in bytes of JSON (escapes
// included): a few long texts cannot push the rest out of a 1400-byte
// answer. Longer texts are cut at a character's end, a job's cause at a
// word's.
struct StatusTextLimits {
    static constexpr std::size_t name = 64;
    static constexpr std::size_t master = 64;
    static constexpr std::size_t why = 112;
    static constexpr std::size_t dialogTitle = 80;
    static constexpr std::size_t dialogText = 180;
    static constexpr std::size_t lastWarning = 300;
};

// The whole datagram: the statusAnswer signal, then the JSON text, at most
// `maxBytes` long. When the full answer does not fit, "last_warning" is
// emptied, then "limits", "max_versions" and "mac_addresses", with "truncated": true; when
// even that does not fit, the result is empty (no answer). `nowMs` is
// Port::elapsedMilliseconds() of the moment `state` was read.
std::string buildStatusAnswer(const NodeState& state, const StatusFacts& facts, const StatusSample& sample,
                              long long nowMs, std::size_t maxBytes);
// The same into `datagram`, whose room is kept from one answer to the next.
// Returns the first moment after `nowMs` at which a second the answer tells
// (uptime, time in state, ...) moves on: until then, and while the state,
// the sample and `maxBytes` stay the same, the datagram stays true as built.
long long buildStatusAnswer(const NodeState& state, const StatusFacts& facts, const StatusSample& sample,
                            long long nowMs, std::size_t maxBytes, std::string& datagram);

// `text` as a JSON string, quoted: UTF-8, with ", \ and every control
// character escaped, a lone surrogate as U+FFFD, never a NUL; cut at the
// end of the last character that keeps it within `maxBytes` (quotes
// included).
std::string jsonString(const std::u16string& text, std::size_t maxBytes = std::string::npos);

}  // namespace Varnix
