#pragma once
// One render job for one master, in stages: receive the job (parameters,
// choice of the 3ds Max version, the scene), build the renderer's command
// line, start the renderer as a child process, wait for 3ds Max, relay dumps
// and END, clean up (the renderer's exit, the purge).

#include "config/NodeSettings.h"
#include "core/NodeWindow.h"
#include "core/String.h"

class DumpRelay;
class HostListener;
class LineBudget;
namespace Varnix {
class SocketHolder;
namespace Port {
class StreamSocket;
}
}  // namespace Varnix

// What a job uses of the service that runs it. Everything it refers to
// outlives the job.
struct RenderJobContext {
    Varnix::NodeWindow* window;
    const NodeSettings& settings;
    HostListener& host;
    DumpRelay& dumps;
    // Lines of refused jobs, shared by all jobs of the service.
    LineBudget& refusedJobLines;
};

// The longest pause of the relay loop when nothing happens.
constexpr int relayPollMilliseconds = 333;

// Runs the whole job on the calling thread (serverThread) and returns when
// it is over; every outcome is only logged. The master connection stays
// owned, and is closed, by the caller.
void runRenderJob(const RenderJobContext& context, Varnix::SocketHolder& master);

// Writes the count of refused jobs held back by `budget`, when due (or at
// once when `last`). serverThread.
void logHeldBackRefusals(Varnix::NodeWindow* window, LineBudget& budget, bool last = false);

// The relay loop: while the master and the 3ds Max side both keep their
// connections, sends every dump to the master and forwards each END to 3ds
// Max. Wakes on a dump finished in `dataDirectory`, a byte or the close from
// the master, and the 3ds Max side's close; at the latest every
// `pollMilliseconds`. Returns, with the number of dumps relayed, when either
// side is gone. Job thread only.
int relayWhileBothConnected(Varnix::Port::StreamSocket* master, HostListener& host, DumpRelay& relay,
                            const Varnix::String& dataDirectory, Varnix::NodeWindow* window, int pollMilliseconds);
