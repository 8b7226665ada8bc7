#pragma once

#include <ostream>

#include "Behaviour.h"
#include "Recorder.h"
#include "RenderCommand.h"

namespace Varnix::Peer {

// Plays the renderer for one command: connects back to the node, greets,
// learns the data directory, writes the dumps, ends on END (or the node's
// close, or the time limit), writes the output image and returns the exit
// status (StubExit). Prints its progress to `console` and records what it was
// given in `recorder`. May not return at all when the behaviour asks for a
// crash. Main thread.
int runStubRender(const RenderCommand& command, const Behaviour& behaviour, Recorder& recorder, std::ostream& console);

}  // namespace Varnix::Peer
