#pragma once
// One render job for one master, in stages: receive the job (parameters,
// choice of the 3ds Max version, the scene), build the renderer's command
// line, start the renderer as a child process, wait for 3ds Max, relay dumps
// and END, clean up (the renderer's exit, the purge).

#include "config/NodeSettings.h"
#include "core/LogTarget.h"
#include "core/String.h"
#include "node/NodeState.h"
#include "port/thread.h"

#include <atomic>
#include <functional>

namespace Varnix {

class DumpRelay;
class HostListener;
class MasterConnection;
namespace Port {
class ChildProcess;
class StreamSocket;
}  // namespace Port

// How a job's renderer came to its end: on its own, or ended by the node,
// and then why. The log and the status answer name it.
enum class RendererEnding {
    exited,   // it exited on its own; its exit status says how
    connect,  // 3ds Max did not connect within rendererConnectSeconds
    render,   // the job took longer than renderSeconds
    exit,     // it did not exit within rendererExitSeconds after the job
    dialog,   // it showed a message box nobody would answer
    idle,     // its tree used almost no CPU and sent no dump for rendererIdleSeconds
    memory,   // its tree reached rendererMemoryMB
    stop,     // the node's stop cut the job
};

// The cause's word: "exited", "connect", "render", "exit", "dialog",
// "idle", "memory limit", "stop".
const char16_t* endingName(RendererEnding ending);

// The stop that cannot wait: lets the GUI thread end the running job's
// renderer with its whole process tree; the job then ends at once and tells
// its master that it was cut, never that it finished.
class JobCut {
public:
    // Marks the running job cut and ends its renderer's tree, now or the
    // moment the job starts it. Returns how many processes it ended. Any
    // thread.
    int cut();
    bool isCut() const { return cutFlag; }
    // The job's renderer from its start until the job lets go of it (null).
    // Job thread.
    void hold(Port::ChildProcess* renderer);

private:
    Port::Mutex lock;
    Port::ChildProcess* renderer GUARDED_BY(lock) = nullptr;
    std::atomic<bool> cutFlag{false};
};

// What a job uses of the service that runs it. Everything it refers to
// outlives the job.
struct RenderJobContext {
    LogTarget* window;
    const NodeSettings& settings;
    HostListener& host;
    DumpRelay& dumps;
    JobCut& cut;
    // Told the job's stage as it changes; none when null.
    NodeStateBoard* state;
};

// Runs the whole job for `master` (its parameters read) on the calling
// thread (serverThread) and returns when it is over; every outcome is only
// logged, its first line through `master`. The connection stays owned, and
// is closed, by the caller.
void runRenderJob(const RenderJobContext& context, MasterConnection& master);

}  // namespace Varnix
