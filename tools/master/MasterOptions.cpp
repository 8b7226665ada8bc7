#include "MasterOptions.h"

#include "Wake.h"

#include <climits>
#include <cmath>
#include <cstdlib>

namespace Varnix::Peer {

namespace {

// Walks "--name value" / "--name=value" arguments.
class OptionReader {
public:
    explicit OptionReader(const std::vector<std::string>& args) : args(args) {}

    bool done() const { return at >= args.size(); }

    // The next argument; for "--name=value" only "--name", keeping the value for takeValue.
    std::string next() {
        std::string arg = args[at++];
        inlineValue.clear();
        hasInline = false;
        if (arg.rfind("--", 0) == 0) {
            const size_t equals = arg.find('=');
            if (equals != std::string::npos) {
                inlineValue = arg.substr(equals + 1);
                hasInline = true;
                arg.erase(equals);
            }
        }
        return arg;
    }

    bool takeValue(const std::string& name, std::string& value, std::string& error) {
        if (hasInline) {
            value = inlineValue;
            hasInline = false;
        } else if (at < args.size()) {
            value = args[at++];
        } else {
            error = "option " + name + " needs a value";
            return false;
        }
        return true;
    }

    // The value of "--name=value", when the argument had one.
    bool takeInline(std::string& value) {
        if (!hasInline) return false;
        value = inlineValue;
        hasInline = false;
        return true;
    }

    bool leftoverInline(const std::string& name, std::string& error) const {
        if (hasInline) error = "option " + name + " takes no value";
        return hasInline;
    }

private:
    const std::vector<std::string>& args;
    size_t at = 0;
    std::string inlineValue;
    bool hasInline = false;
};

bool toInt(const std::string& name, const std::string& text, long low, long high, int& out, std::string& error) {
    char* stop = nullptr;
    const long v = text.empty() ? 0 : std::strtol(text.c_str(), &stop, 10);
    if (text.empty() || *stop != '\0' || v < low || v > high) {
        error = "option " + name + " needs an integer from " + std::to_string(low) + " to " + std::to_string(high) +
                ", not '" + text + "'";
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool toSeconds(const std::string& name, const std::string& text, double& out, std::string& error) {
    char* stop = nullptr;
    const double v = text.empty() ? 0 : std::strtod(text.c_str(), &stop);
    if (text.empty() || *stop != '\0' || !std::isfinite(v) || v < 0 || v > 1e7) {
        error = "option " + name + " needs a number of seconds, not '" + text + "'";
        return false;
    }
    out = v;
    return true;
}

// The address of "--broadcast ADDRESS"; an empty one is refused.
bool takeBroadcastAddress(OptionReader& reader, const std::string& arg, std::string& value, std::string& error) {
    if (!reader.takeValue(arg, value, error)) return false;
    if (!value.empty()) return true;
    error = "option --broadcast needs an address, such as 192.168.1.255";
    return false;
}

}  // namespace

bool asksForHelp(const std::vector<std::string>& args) {
    for (const std::string& arg : args)
        if (arg == "-h" || arg == "--help" || arg == "/?") return true;
    return false;
}

bool asksForJson(const std::vector<std::string>& args) {
    for (const std::string& arg : args)
        if (arg == "--json") return true;
    return false;
}

bool parseDiscoverOptions(const std::vector<std::string>& args, DiscoverOptions& options, std::string& error) {
    options = DiscoverOptions();
    OptionReader reader(args);
    while (!reader.done()) {
        const std::string arg = reader.next();
        std::string value;
        if (arg == "--wait") {
            if (!reader.takeValue(arg, value, error) || !toSeconds(arg, value, options.waitSeconds, error))
                return false;
        } else if (arg == "--numeric" || arg == "-n") {
            if (reader.leftoverInline(arg, error)) return false;
            options.numeric = true;
        } else if (arg == "--json") {
            if (reader.leftoverInline(arg, error)) return false;
            options.json = true;
        } else if (arg == "--node") {
            if (!reader.takeValue(arg, value, error)) return false;
            if (value.empty()) {
                error = "option --node needs a host name or address";
                return false;
            }
            options.hosts.push_back(value);
        } else if (arg == "--broadcast") {
            if (!takeBroadcastAddress(reader, arg, value, error)) return false;
            options.broadcasts.push_back(value);
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else {
            options.hosts.push_back(arg);
        }
    }
    return true;
}

bool parseRenderOptions(const std::vector<std::string>& args, RenderOptions& options, std::string& error) {
    options = RenderOptions();
    bool hasVersion = false, hasFrame = false;
    OptionReader reader(args);
    while (!reader.done()) {
        const std::string arg = reader.next();
        std::string value;
        if (arg.size() < 2 || arg[0] != '-') {
            error = "unexpected argument '" + arg + "'";
            return false;
        }
        if (arg == "--overwrite" || arg == "--json") {
            if (reader.leftoverInline(arg, error)) return false;
            (arg == "--json" ? options.json : options.overwrite) = true;
            continue;
        }
        if (!reader.takeValue(arg, value, error)) return false;
        bool ok = true;
        if (arg == "--node") {
            options.node = value;
        } else if (arg == "--version") {
            // A node renders only these releases; anything else could only be refused.
            ok = toInt(arg, value, firstRelease, lastRelease, options.version, error);
            if (!ok)
                error = "option --version needs the 3ds Max release of the scene, from " +
                        std::to_string(firstRelease) + " to " + std::to_string(lastRelease) + ", not '" + value + "'";
            hasVersion = true;
        } else if (arg == "--frame") {
            ok = toInt(arg, value, INT_MIN, INT_MAX, options.frame, error);
            hasFrame = true;
        } else if (arg == "--scene") {
            options.scene = value;
        } else if (arg == "--out") {
            options.outDirectory = value;
        } else if (arg == "--end-after-dumps") {
            ok = toInt(arg, value, 0, INT_MAX, options.endAfterDumps, error);
        } else if (arg == "--end-after-seconds") {
            ok = toSeconds(arg, value, options.endAfterSeconds, error);
        } else if (arg == "--expect-dumps") {
            ok = toInt(arg, value, 1, INT_MAX, options.expectDumps, error);
        } else if (arg == "--wait") {
            ok = toInt(arg, value, 0, 86400 * 365, options.waitSeconds, error);
        } else {
            error = "unknown option " + arg;
            return false;
        }
        if (!ok) return false;
    }
    const char* missing = options.node.empty()           ? "--node"
                          : !hasVersion                  ? "--version"
                          : !hasFrame                    ? "--frame"
                          : options.scene.empty()        ? "--scene"
                          : options.outDirectory.empty() ? "--out"
                                                         : nullptr;
    if (missing) {
        error = std::string("missing option ") + missing;
        return false;
    }
    return true;
}

// The options "status" and "farm" share: where to ask, and for how long.
// False when `arg` is none of them; true with a non-empty `error` when it is one but bad.
bool takeAskOption(OptionReader& reader, const std::string& arg, std::vector<std::string>& hosts,
                   std::vector<std::string>& broadcasts, double& waitSeconds, std::string& error) {
    std::string value;
    if (arg == "--wait") {
        if (reader.takeValue(arg, value, error)) toSeconds(arg, value, waitSeconds, error);
    } else if (arg == "--node") {
        if (reader.takeValue(arg, value, error) && value.empty()) error = "option --node needs a host name or address";
        if (error.empty()) hosts.push_back(value);
    } else if (arg == "--broadcast") {
        // Bare: every node of the local networks; "--broadcast=ADDRESS": of that network.
        if (!reader.takeInline(value)) value = "255.255.255.255";
        if (value.empty()) error = "option --broadcast= needs an address, such as 192.168.1.255";
        broadcasts.push_back(value);
    } else {
        return false;
    }
    return true;
}

bool takeRosterOption(OptionReader& reader, const std::string& arg, std::string& roster, std::string& error) {
    if (arg != "--roster") return false;
    if (reader.takeValue(arg, roster, error) && roster.empty()) error = "option --roster needs a file name";
    return true;
}

bool parseStatusOptions(const std::vector<std::string>& args, StatusOptions& options, std::string& error) {
    options = StatusOptions();
    OptionReader reader(args);
    while (!reader.done()) {
        const std::string arg = reader.next();
        std::string value;
        if (takeAskOption(reader, arg, options.hosts, options.broadcasts, options.waitSeconds, error) ||
            takeRosterOption(reader, arg, options.roster, error)) {
            if (!error.empty()) return false;
        } else if (arg == "--retire") {
            if (!reader.takeValue(arg, value, error)) return false;
            options.retire.push_back(value);
        } else if (arg == "--json" || arg == "--watch") {
            if (reader.leftoverInline(arg, error)) return false;
            (arg == "--json" ? options.json : options.watch) = true;
        } else if (arg == "--interval") {
            if (!reader.takeValue(arg, value, error) || !toSeconds(arg, value, options.intervalSeconds, error))
                return false;
            if (options.intervalSeconds < 0.2) {
                error = "option --interval needs at least 0.2 seconds";
                return false;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else {
            options.hosts.push_back(arg);
        }
    }
    if (!options.retire.empty() && options.roster.empty()) {
        error = "option --retire needs --roster FILE";
        return false;
    }
    return true;
}

bool parseFarmOptions(const std::vector<std::string>& args, FarmOptions& options, std::string& error) {
    options = FarmOptions();
    OptionReader reader(args);
    while (!reader.done()) {
        const std::string arg = reader.next();
        std::string value;
        if (takeAskOption(reader, arg, options.hosts, options.broadcasts, options.waitSeconds, error) ||
            takeRosterOption(reader, arg, options.roster, error)) {
            if (!error.empty()) return false;
        } else if (arg == "--serve") {
            if (!reader.takeValue(arg, value, error)) return false;
            const size_t colon = value.rfind(':');
            int port = 0;
            if (colon == std::string::npos || colon == 0 ||
                !toInt(arg, value.substr(colon + 1), 1, 65535, port, error)) {
                error = "option --serve needs ADDRESS:PORT, such as 0.0.0.0:8080, not '" + value + "'";
                return false;
            }
            options.serveAddress = value.substr(0, colon);
            options.servePort = port;
        } else if (arg == "--refresh") {
            if (!reader.takeValue(arg, value, error) || !toSeconds(arg, value, options.refreshSeconds, error))
                return false;
            if (options.refreshSeconds < 0.5) {
                error = "option --refresh needs at least 0.5 seconds";
                return false;
            }
        } else {
            error = arg.size() > 1 && arg[0] == '-' ? "unknown option " + arg : "unexpected argument '" + arg + "'";
            return false;
        }
    }
    if (options.serveAddress.empty()) {
        error = "missing option --serve";
        return false;
    }
    return true;
}

bool parseWakeOptions(const std::vector<std::string>& args, WakeOptions& options, std::string& error) {
    options = WakeOptions();
    OptionReader reader(args);
    while (!reader.done()) {
        const std::string arg = reader.next();
        std::string value;
        if (arg == "--json") {
            if (reader.leftoverInline(arg, error)) return false;
            options.json = true;
        } else if (arg == "--broadcast") {
            if (!takeBroadcastAddress(reader, arg, value, error)) return false;
            options.broadcast = value;
        } else if (arg == "--port") {
            if (!reader.takeValue(arg, value, error) || !toInt(arg, value, 1, 65535, options.port, error)) return false;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else {
            std::array<std::uint8_t, 6> machine{};
            if (!parseHardwareAddress(arg, machine)) {
                error = "'" + arg +
                        "' is no hardware address (aa:bb:cc:dd:ee:ff); drmaster status --json lists each node's "
                        "mac_addresses while it is awake";
                return false;
            }
            options.machines.push_back(machine);
            options.texts.push_back(arg);
        }
    }
    if (options.machines.empty()) {
        error = "wake needs at least one hardware address";
        return false;
    }
    return true;
}

}  // namespace Varnix::Peer
