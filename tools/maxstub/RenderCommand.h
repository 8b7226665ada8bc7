#pragma once

#include <string>
#include <vector>

namespace Varnix::Peer {

// What the renderer was asked to do, taken from a command line such as the
// node builds: "scene.max" -o:"out.png" -start:12 -end:12 -continueOnError
// -gammaCorrection:1 -rfw:1 -sf
struct RenderCommand {
    std::string scene;
    std::string output;                // -o: value; empty when not given
    int start = 0;                     // -start: value
    int end = 0;                       // -end: value; equals start when only -start: was given
    std::vector<std::string> ignored;  // options this stand-in accepts but does not act on
    std::vector<std::string> unknown;  // options it does not know (warned about, not fatal)
};

// Parses the arguments after the program name. Option names compare
// case-insensitively. Returns false and sets `error` to one line when there is
// no scene, more than one scene, or a frame number is not an integer.
bool parseRenderCommand(const std::vector<std::string>& args, RenderCommand& command, std::string& error);

}  // namespace Varnix::Peer
