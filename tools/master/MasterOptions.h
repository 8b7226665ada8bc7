#pragma once

#include <string>
#include <vector>

namespace Varnix::Peer {

struct DiscoverOptions {
    double waitSeconds = 1.0;
    bool numeric = false;
    std::vector<std::string> hosts;  // empty: broadcast
};

struct RenderOptions {
    std::string node;
    int version = 0;
    int frame = 0;
    std::string scene;
    std::string outDirectory;
    int endAfterDumps = -1;       // -1: not given
    double endAfterSeconds = -1;  // negative: not given
    int waitSeconds = 60;         // for the greeting; 0: for ever
};

// Parse the arguments after the sub-command. False with a one-line `error`
// on an unknown option, a missing or bad value, or a missing required option.
// "--name value" and "--name=value" are both accepted.
bool parseDiscoverOptions(const std::vector<std::string>& args, DiscoverOptions& options, std::string& error);
bool parseRenderOptions(const std::vector<std::string>& args, RenderOptions& options, std::string& error);

// True when the arguments ask for help (-h, --help).
bool asksForHelp(const std::vector<std::string>& args);

}  // namespace Varnix::Peer
