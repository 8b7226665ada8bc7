#pragma once

#include <string>
#include <vector>

namespace Varnix::Peer {

// The 3ds Max releases a node can render: up to 2016, and up to lastRelease
// where its admin set newestMaxRelease.
constexpr int firstRelease = 2011;
constexpr int defaultNewestRelease = 2016;
constexpr int lastRelease = 2030;

struct DiscoverOptions {
    double waitSeconds = 1.0;
    bool numeric = false;
    bool json = false;
    std::vector<std::string> hosts;       // --node HOST and bare HOST arguments
    std::vector<std::string> broadcasts;  // --broadcast ADDRESS
    // Neither hosts nor broadcasts: one broadcast to 255.255.255.255.
};

struct StatusOptions {
    double waitSeconds = 1.0;
    bool json = false;
    bool watch = false;
    double intervalSeconds = 2.0;         // between rounds of --watch
    std::vector<std::string> hosts;       // --node HOST and bare HOST arguments
    std::vector<std::string> broadcasts;  // --broadcast (255.255.255.255) and --broadcast=ADDRESS
    // Neither hosts nor broadcasts: one broadcast to 255.255.255.255.
};

struct FarmOptions {
    std::string serveAddress;  // --serve ADDRESS:PORT
    int servePort = 0;
    double refreshSeconds = 2.0;  // between rounds of status requests
    double waitSeconds = 1.0;     // for the answers of one round
    std::vector<std::string> hosts;
    std::vector<std::string> broadcasts;  // as StatusOptions
};

struct RenderOptions {
    std::string node;
    int version = 0;
    int frame = 0;
    std::string scene;  // UTF-8, as every path drmaster takes
    std::string outDirectory;
    int endAfterDumps = -1;       // -1: not given
    double endAfterSeconds = -1;  // negative: not given
    int waitSeconds = 60;         // for the greeting; 0: for ever
    int expectDumps = -1;         // -1: at least one dump is success
    bool overwrite = false;       // replace dumps of the same frame left in the folder
    bool json = false;
};

// Parse the arguments after the sub-command. False with a one-line `error`
// on an unknown option, a missing or bad value, or a missing required option.
// "--name value" and "--name=value" are both accepted.
bool parseDiscoverOptions(const std::vector<std::string>& args, DiscoverOptions& options, std::string& error);
bool parseRenderOptions(const std::vector<std::string>& args, RenderOptions& options, std::string& error);
bool parseStatusOptions(const std::vector<std::string>& args, StatusOptions& options, std::string& error);
bool parseFarmOptions(const std::vector<std::string>& args, FarmOptions& options, std::string& error);

// True when the arguments ask for help (-h, --help, /?).
bool asksForHelp(const std::vector<std::string>& args);

// True when the arguments hold --json (so that even a usage error is reported as JSON).
bool asksForJson(const std::vector<std::string>& args);

}  // namespace Varnix::Peer
