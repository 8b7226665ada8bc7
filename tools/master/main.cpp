// drmaster: the master side of the farm as a command-line tool. It finds
// render nodes and hands one of them a job, saving the image dumps it sends.
#include <cstdio>
#include <string>
#include <vector>

#include "Discover.h"
#include "MasterExit.h"
#include "MasterOptions.h"
#include "RenderSession.h"
#include "Usage.h"
#include "port/console.h"
#include "port/socket.h"

int main(int argc, char** argv) {
    using namespace Varnix::Peer;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(kMasterHelpText, stderr);
        return kMasterUsage;
    }
    const std::string command = args.front();
    args.erase(args.begin());
    if (command == "--help" || command == "-h" || command == "help" || asksForHelp(args)) {
        std::fputs(kMasterHelpText, stdout);
        return kMasterOk;
    }
    if (!Varnix::Port::initializeSockets()) {
        std::fprintf(stderr, "drmaster: error: sockets cannot be used on this system\n");
        return kMasterUnreachable;
    }
    std::string error;
    if (command == "discover") {
        DiscoverOptions options;
        if (parseDiscoverOptions(args, options, error))
            return runDiscover(options);
    } else if (command == "render") {
        RenderOptions options;
        if (parseRenderOptions(args, options, error)) {
            Varnix::Port::catchInterrupts();
            return runRenderSession(options);
        }
    } else {
        error = "unknown command '" + command + "'";
    }
    std::fprintf(stderr, "drmaster: error: %s\n(drmaster --help shows the usage)\n", error.c_str());
    return kMasterUsage;
}
