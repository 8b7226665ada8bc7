#include "RenderCommand.h"

#include <cctype>
#include <climits>
#include <cstdlib>

namespace Varnix::Peer {

namespace {

// True when `arg` starts with `prefix`, ignoring case; `rest` gets what follows.
bool takeOption(const std::string& arg, const char* prefix, std::string& rest) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= arg.size() ||
            std::tolower(static_cast<unsigned char>(arg[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    rest = arg.substr(i);
    return true;
}

bool parseFrame(const std::string& text, int& value) {
    if (text.empty()) return false;
    char* stop = nullptr;
    const long v = std::strtol(text.c_str(), &stop, 10);
    if (*stop != '\0' || v < INT_MIN || v > INT_MAX) return false;
    value = static_cast<int>(v);
    return true;
}

}  // namespace

bool parseRenderCommand(const std::vector<std::string>& args, RenderCommand& command, std::string& error) {
    command = RenderCommand();
    bool sawEnd = false;
    for (const std::string& arg : args) {
        std::string value;
        if (arg.empty()) continue;
        if (arg[0] != '-') {
            if (!command.scene.empty()) {
                error = "more than one scene file given: '" + command.scene + "' and '" + arg + "'";
                return false;
            }
            command.scene = arg;
        } else if (takeOption(arg, "-o:", value) || takeOption(arg, "-outputName:", value)) {
            command.output = value;
        } else if (takeOption(arg, "-start:", value)) {
            if (!parseFrame(value, command.start)) {
                error = "bad frame number in " + arg;
                return false;
            }
        } else if (takeOption(arg, "-end:", value)) {
            if (!parseFrame(value, command.end)) {
                error = "bad frame number in " + arg;
                return false;
            }
            sawEnd = true;
        } else if (takeOption(arg, "-continueOnError", value) || takeOption(arg, "-gammaCorrection:", value) ||
                   takeOption(arg, "-rfw:", value) || takeOption(arg, "-sf", value)) {
            command.ignored.push_back(arg);
        } else {
            command.unknown.push_back(arg);
        }
    }
    if (command.scene.empty()) {
        error = "no scene file given";
        return false;
    }
    if (!sawEnd) command.end = command.start;
    return true;
}

}  // namespace Varnix::Peer
