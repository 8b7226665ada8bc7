// drmaster: the master side of the farm as a command-line tool. It finds
// render nodes and hands one of them a job, saving the image dumps it sends.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CheckConfig.h"
#include "Discover.h"
#include "FarmPage.h"
#include "Json.h"
#include "MasterExit.h"
#include "MasterOptions.h"
#include "RenderSession.h"
#include "Status.h"
#include "Usage.h"
#include "Wake.h"
#include "port/console.h"
#include "port/selfpath.h"
#include "port/socket.h"
#include "port/utf8.h"

namespace {

using namespace Varnix::Peer;

// A usage error: one line on standard error, and the JSON report when asked for.
int usageError(const std::string& command, const std::string& error, bool json) {
    std::fprintf(stderr, "drmaster: error: %s\n(drmaster --help shows the usage)\n", error.c_str());
    if (json)
        std::printf("%s\n", JsonObject()
                                .add("command", command.empty() ? "null" : jsonString(command))
                                .add("outcome", jsonString(outcomeName(masterUsage)))
                                .add("status", jsonNumber(static_cast<int64_t>(masterUsage)))
                                .add("message", jsonString(error))
                                .text()
                                .c_str());
    return masterUsage;
}

// The arguments as UTF-8, the text every part of drmaster takes paths in: on
// Windows from the UTF-16 command line, since argv holds the ANSI code
// page's rendering, where a Cyrillic folder became "??"; on POSIX the bytes
// given, unchanged.
std::vector<std::string> utf8Arguments(int argc, char** argv) {
    std::vector<std::string> args;
    const std::vector<std::u16string> wide = Varnix::Port::programArguments(argc, argv);
    for (std::size_t i = 1; i < wide.size(); ++i) {
        const int units = static_cast<int>(wide[i].size());
        const auto bad = Varnix::Port::Utf8::BadInput::escape;
        std::string text(static_cast<std::size_t>(Varnix::Port::Utf8::encode(wide[i].data(), units, nullptr, 0, bad)),
                         '\0');
        Varnix::Port::Utf8::encode(wide[i].data(), units, text.data(), static_cast<int>(text.size()), bad);
        args.push_back(text);
    }
    return args;
}

// Sockets for the commands that use the network; says why not on standard error.
bool socketsReady() {
    if (Varnix::Port::initializeSockets()) return true;
    std::fprintf(stderr, "drmaster: error: sockets cannot be used on this system\n");
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args = utf8Arguments(argc, argv);
    if (args.empty()) {
        std::fputs(masterHelpText, stderr);
        return masterUsage;
    }
    const std::string command = args.front();
    args.erase(args.begin());
    // "--version" after "render" is the 3ds Max release; on its own it asks for ours.
    if (command == "--version") {
        std::printf("drmaster %s\n", masterVersion);
        return masterOk;
    }
    if (command == "--help" || command == "-h" || command == "/?" || command == "help" || asksForHelp(args)) {
        std::fputs(masterHelpText, stdout);
        return masterOk;
    }
    const bool json = asksForJson(args);
    std::string error;
    if (command == "discover") {
        DiscoverOptions options;
        if (!parseDiscoverOptions(args, options, error)) return usageError(command, error, json);
        if (!socketsReady()) return masterPingNotSent;
        return runDiscover(options);
    }
    if (command == "status" || command == "farm") {
        StatusOptions status;
        FarmOptions farm;
        if (!(command == "status" ? parseStatusOptions(args, status, error) : parseFarmOptions(args, farm, error)))
            return usageError(command, error, json);
        if (!socketsReady()) return masterPingNotSent;
        return command == "status" ? runStatus(status) : runFarm(farm);
    }
    if (command == "render") {
        RenderOptions options;
        if (!parseRenderOptions(args, options, error)) return usageError(command, error, json);
        if (!socketsReady()) return masterUnreachable;
        Varnix::Port::catchInterrupts();
        return runRenderSession(options);
    }
    if (command == "wake") {
        WakeOptions options;
        if (!parseWakeOptions(args, options, error)) return usageError(command, error, json);
        if (!socketsReady()) return masterPingNotSent;
        return runWake(options);
    }
    if (command == "check-config") {
        int newest = 0;
        if (!args.empty() && args.front().rfind("--newest-release", 0) == 0) {
            std::string value = args.front().substr(std::strlen("--newest-release"));
            args.erase(args.begin());
            if (value.empty() && !args.empty()) {
                value = args.front();
                args.erase(args.begin());
            } else if (!value.empty() && value[0] == '=') {
                value.erase(0, 1);
            }
            char* end = nullptr;
            long year = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || year < firstRelease || year > lastRelease)
                return usageError(command,
                                  "option --newest-release needs a release year from " + std::to_string(firstRelease) +
                                      " to " + std::to_string(lastRelease) + ", not '" + value + "'",
                                  json);
            newest = int(year);
        }
        if (args.size() != 1) return usageError(command, "check-config takes one FILE", json);
        std::string report;
        int status = checkConfig(args.front().c_str(), newest, report);
        std::fputs(report.c_str(), stdout);
        return status;
    }
    return usageError(std::string(), "unknown command '" + command + "'", json);
}
