#pragma once
// What the node is doing, published for whoever asks (a window, a status
// answer, a service manager) from any thread, without waiting on a job, a
// disk or the log.

#include "port/notcopyable.h"
#include "port/thread.h"
#include "port/threadsafety.h"

namespace Varnix {

// The node's stage. A job goes receivingScene, waitingForHost, rendering,
// finishing and back to idle; waitingForHost and rendering are left out when
// the job ends before them. Once a stop is asked for, the node is stopping
// whenever no job runs.
enum class NodeStage { idle, receivingScene, waitingForHost, rendering, finishing, stopping };

// A copy of the published state, taken at one moment.
struct NodeState {
    NodeStage stage = NodeStage::idle;
    // A stop was asked for; while a job runs the stage still names the job's.
    bool stopRequested = false;
};

// The state's only copy, updated by the job at its stage changes and by the
// node's owner at a stop. Every call takes a lock held only to copy the
// struct: any thread, never waits on anything else.
class NodeStateBoard : Port::NotCopyable {
public:
    NodeState read() const;
    // The job's stage (idle once it has ended).
    void setJobStage(NodeStage stage);
    void setStopRequested();

private:
    mutable Port::Mutex lock;
    NodeStage jobStage GUARDED_BY(lock) = NodeStage::idle;
    bool stopRequested GUARDED_BY(lock) = false;
};

}  // namespace Varnix
