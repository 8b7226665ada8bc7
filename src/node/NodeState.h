#pragma once
// What the node is doing, published for whoever asks (a window, a status
// answer, a service manager) from any thread, without waiting on a job, a
// disk or the log.

#include "port/notcopyable.h"
#include "port/thread.h"
#include "port/threadsafety.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Varnix {

// The node's stage. A job goes receivingScene, waitingForHost, rendering,
// finishing and back to idle; waitingForHost and rendering are left out when
// the job ends before them. Once a stop is asked for, the node is stopping
// whenever no job runs.
enum class NodeStage { idle, receivingScene, waitingForHost, rendering, finishing, stopping };

// How a job ended. refused: turned away before its scene (a release not
// configured here, or the node busy with another master's job); cut: a stop
// ended it; failed: it ran and went wrong (the scene, the renderer, a dump);
// limit: a renderer time limit ended it.
enum class JobOutcome { none, served, refused, cut, failed, limit };

// A box a job's renderer shows, as seen by whoever watches its windows.
struct RendererDialog {
    std::uint32_t pid = 0;
    std::u16string title;
    std::u16string text;
};

// The running job. Times are Port::elapsedMilliseconds(); -1 and empty mean
// not known (yet).
struct JobDetails {
    std::u16string master;  // the master's address, dotted
    int maxVersion = 0;     // the release it renders with; 0 before it is chosen
    int frame = -1;
    long long startedMs = -1;
    std::uint64_t dumpsSent = 0;
    std::uint64_t bytesSent = 0;
    std::int64_t rendererPid = 0;  // the interpreter that runs it; 0 none
    double rendererCpuSeconds = -1;
    double rendererMemoryMb = -1;
    // The last sign of the renderer's life: its start of rendering, each
    // dump sent, or what its watcher saw.
    long long lastActivityMs = -1;
    std::optional<RendererDialog> dialog;
};

// How the last job ended.
struct LastJob {
    JobOutcome outcome = JobOutcome::none;
    std::u16string why;
    std::optional<int> rendererExit;
    long long endedMs = -1;
};

// Since the node started.
struct JobCounts {
    std::uint64_t served = 0;
    std::uint64_t refused = 0;
    std::uint64_t cut = 0;
    std::uint64_t failed = 0;
    std::uint64_t limitsReached = 0;
    std::uint64_t dumpsSent = 0;
    std::uint64_t bytesSent = 0;
    // Renderer exit status and how many jobs ended with it, in the order
    // first seen; at most maxExitStatuses of them, later ones are not counted.
    std::vector<std::pair<int, std::uint64_t>> rendererExits;
    static constexpr std::size_t maxExitStatuses = 8;
};

// A copy of the published state, taken at one moment.
struct NodeState {
    NodeStage stage = NodeStage::idle;
    // A stop was asked for; while a job runs the stage still names the job's.
    bool stopRequested = false;
    long long startedMs = -1;     // the board's making: the node's start
    long long stageSinceMs = -1;  // when `stage` began
    // Only while a job runs (from its connection to its end).
    std::optional<JobDetails> job;
    LastJob lastJob;
    JobCounts counts;
    // The text of the last line logged that began with "WARNING"; empty: none.
    std::u16string lastWarning;
};

// The state's only copy, updated by the job as it goes, by the node's owner
// at a stop and by the log, and by whoever watches the renderer. Every call
// takes a lock held only to copy: any thread, never waits on anything else.
// Calls about a job that is not running are ignored.
class NodeStateBoard : Port::NotCopyable {
public:
    NodeStateBoard();
    NodeState read() const;
    // The same into `state`, whose strings keep their room: no allocation
    // once they have grown to the state's size.
    void read(NodeState& state) const;
    // A count that grows with every change: a read made after seeing a
    // count tells at least that change, and while the count stays the same
    // the state does too. Any thread; takes no lock.
    std::uint64_t version() const { return changeCount.load(std::memory_order_acquire); }
    // The job's stage (idle once it has ended).
    void setJobStage(NodeStage stage);
    void setStopRequested();

    // A master's job begins: its address.
    void beginJob(const std::u16string& master);
    // What it asked for, once read and chosen (0: none chosen).
    void setJobRequest(int maxVersion, int frame);
    // The renderer's process id once started; 0 once it is let go.
    void setRendererPid(std::int64_t pid);
    // The renderer's tree has begun rendering: its silence counts from here.
    void rendererRendering();
    // A dump of `bytes` went to the master whole.
    void dumpSent(std::uint64_t bytes);
    // The renderer's tree as its watcher measured it: CPU seconds, memory
    // (negative: not known) and, when at least 0, the last moment it showed
    // life (Port::elapsedMilliseconds).
    void setRendererUsage(double cpuSeconds, double memoryMb, long long lastActivityMs = -1);
    // A box the renderer shows, and its going.
    void setDialog(const RendererDialog& dialog);
    void clearDialog();
    // The job has ended: the last job's outcome, counted; the job's details
    // go and the stage is idle. `rendererExit` when its renderer exited.
    void endJob(JobOutcome outcome, const std::u16string& why, std::optional<int> rendererExit = std::nullopt);
    // A master turned away without becoming the job (the node busy): counted
    // as refused; the last job stays the one that ran.
    void countRefusal();
    // Called with every line logged; keeps the last "WARNING" one, its
    // first maxWarningUnits.
    void noteLogLine(const char16_t* text);
    static constexpr std::size_t maxWarningUnits = 1000;

private:
    mutable Port::Mutex lock;
    NodeStage jobStage GUARDED_BY(lock) = NodeStage::idle;
    bool stopRequested GUARDED_BY(lock) = false;
    long long startedMs;
    long long stageSinceMs GUARDED_BY(lock);
    std::optional<JobDetails> job GUARDED_BY(lock);
    LastJob lastJob GUARDED_BY(lock);
    JobCounts counts GUARDED_BY(lock);
    std::u16string lastWarning GUARDED_BY(lock);
    // Grows under the lock, with each change.
    std::atomic<std::uint64_t> changeCount{0};
    void changed() REQUIRES(lock) { changeCount.fetch_add(1, std::memory_order_release); }
};

// The name the status answer gives `outcome` and `stage`.
const char* outcomeName(JobOutcome outcome);
const char* stageName(NodeStage stage);

}  // namespace Varnix
