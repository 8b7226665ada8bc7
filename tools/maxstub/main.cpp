// A stand-in for the 3ds Max command-line renderer: it takes the command line
// the render node builds and plays the renderer's part of the job, so that a
// node can be tried out and tested without 3ds Max. Its behaviour comes from
// "maxstub-behaviour.txt" beside the executable.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Behaviour.h"
#include "LateHelper.h"
#include "Recorder.h"
#include "RenderCommand.h"
#include "StubExit.h"
#include "StubRender.h"
#include "port/selfpath.h"

namespace {

const char* const behaviourFileName = "maxstub-behaviour.txt";
const char* const recordFileName = "maxstub-record.txt";

std::string besideExecutable(const std::string& name) {
    const std::string directory = Varnix::Port::executableDirectory();
    return directory.empty() ? name : directory + "/" + name;
}

Varnix::Peer::Behaviour loadBehaviour(std::ostream& console) {
    const std::string path = besideExecutable(behaviourFileName);
    std::ifstream in(path, std::ios::binary);
    if (!in) return Varnix::Peer::Behaviour();
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<std::string> warnings;
    Varnix::Peer::Behaviour behaviour = Varnix::Peer::parseBehaviour(text.str(), warnings);
    console << "Behaviour file: " << path << std::endl;
    for (const std::string& warning : warnings) console << "WARNING: " << path << ": " << warning << std::endl;
    return behaviour;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace Varnix::Peer;
    if (argc == 4 && std::string(argv[1]) == lateDumpOption) return runLateHelper(argv[2], std::atoi(argv[3]));
    std::ostream& console = std::cout;
    console << "3dsmaxcmd stand-in for the Varnix render node" << std::endl;

    const Behaviour behaviour = loadBehaviour(console);
    if (behaviour.clearEnvironment) dropEnvironment(argv);
    Recorder recorder(behaviour.recordFile.empty() ? besideExecutable(recordFileName) : behaviour.recordFile);
    recorder.line("run");

    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
        recorder.line("argument", argv[i]);
    }

    RenderCommand command;
    std::string error;
    if (!parseRenderCommand(args, command, error)) {
        console << "ERROR: " << error << std::endl;
        console << "usage: 3dsmaxcmd.exe SCENE -o:OUTPUT -start:N -end:N [other options]" << std::endl;
        recorder.line("exit", std::to_string(stubBadCommandLine));
        return stubBadCommandLine;
    }
    for (const std::string& option : command.unknown)
        console << "WARNING: unknown option ignored: " << option << std::endl;

    const int status = runStubRender(command, behaviour, recorder, console);
    recorder.line("exit", std::to_string(status));
    return status;
}
