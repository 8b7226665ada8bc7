// drmaster: the master side of the farm as a command-line tool. It finds
// render nodes and hands one of them a job, saving the image dumps it sends.
#include <cstdio>
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
#include "port/console.h"
#include "port/socket.h"

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

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
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
        if (!Varnix::Port::initializeSockets()) {
            std::fprintf(stderr, "drmaster: error: sockets cannot be used on this system\n");
            return masterPingNotSent;
        }
        return runDiscover(options);
    }
    if (command == "status" || command == "farm") {
        StatusOptions status;
        FarmOptions farm;
        if (!(command == "status" ? parseStatusOptions(args, status, error) : parseFarmOptions(args, farm, error)))
            return usageError(command, error, json);
        if (!Varnix::Port::initializeSockets()) {
            std::fprintf(stderr, "drmaster: error: sockets cannot be used on this system\n");
            return masterPingNotSent;
        }
        return command == "status" ? runStatus(status) : runFarm(farm);
    }
    if (command == "render") {
        RenderOptions options;
        if (!parseRenderOptions(args, options, error)) return usageError(command, error, json);
        if (!Varnix::Port::initializeSockets()) {
            std::fprintf(stderr, "drmaster: error: sockets cannot be used on this system\n");
            return masterUnreachable;
        }
        Varnix::Port::catchInterrupts();
        return runRenderSession(options);
    }
    if (command == "check-config") {
        if (args.size() != 1) return usageError(command, "check-config takes one FILE", json);
        std::string report;
        int status = checkConfig(args.front().c_str(), report);
        std::fputs(report.c_str(), stdout);
        return status;
    }
    return usageError(std::string(), "unknown command '" + command + "'", json);
}
