#pragma once
// The render service: data directory, configuration, discovery, the 3ds Max
// listener and the master accept loop with its jobs. The node's owner
// (NodeLife) creates it on its thread, the GUI thread in the program, and
// deletes it there; everything else runs on its worker threads.

#include "config/NodeSettings.h"
#include "core/LogTarget.h"
#include "core/misc/multithreading/StandbyThread.h"
#include "node/DiscoveryReplier.h"
#include "node/DumpRelay.h"
#include "node/FreeSpaceSampler.h"
#include "node/HostListener.h"
#include "node/NodeState.h"
#include "node/RenderJob.h"
#include "node/Protocol.h"

#include <atomic>
#include <functional>
#include <cstdint>
#include <memory>
#include <vector>

namespace Varnix {

// What the service is given instead of looking for it: the folder of its
// files and the ports it binds, 0 meaning any free port (as tests use).
struct ServiceSetup {
    // Always ends in a slash; made when missing.
    String dataDirectory;
    std::uint16_t discoveryPort = Varnix::discoveryPort;
    std::uint16_t hostPort = Varnix::hostPort;
    std::uint16_t masterPort = Varnix::masterPort;
    // Where the jobs publish their stages; none when null. Outlives the
    // service.
    NodeStateBoard* state = nullptr;
    // Called on every turn of the accept loop between jobs (at least every
    // half second), on its thread; empty: nothing.
    std::function<void()> betweenJobs = {};
    // The log whose lost lines the status answer counts; none when null.
    // Outlives the service.
    const LogSink* log = nullptr;
    // How the node runs, for the start-up report: its face and who starts it.
    String mode = u"desktop, with the log window";
};

// A start-up failure the admin is to be shown in a message box.
struct StartupFailure {
    String text;
    String caption;
};

class RenderService {
public:
    // Makes the data directory, loads DrConfig.txt, starts discovery, opens
    // both listeners and starts the accept loop on serverThread. Never shows
    // anything: what failed is in startupFailures, in the order it happened,
    // for the caller to show. A port that cannot be bound leaves the service
    // going without it, unless none of the three could be (startFailed); a
    // configuration that cannot be created stops the start before any
    // thread or port (startFailed). When a worker thread
    // cannot be created it throws Exception, having stopped and released
    // whatever it had started. GUI thread; `window` must outlive the service.
    RenderService(LogTarget* window, const ServiceSetup& setup);

    // Stops the accept loop and discovery, closes the listeners and waits,
    // without a time limit, for a running job and its renderer. GUI thread.
    ~RenderService();

    // Asks the accept loop to end. True, having logged once "Waiting for the
    // running job to end before stopping", when a job runs that the
    // destructor will have to wait for. GUI thread; any number of times.
    bool requestStop();

    // The second stop request: ends the running job's renderer tree so that
    // the job ends now, cut, instead of being waited for. Logged once. GUI
    // thread; nothing when no job runs.
    void cutRunningJob();

    // True while a job runs (the stop then has to wait for it). Any thread.
    bool jobInProgress() const { return jobRunning; }

    // The ports held, as bound (the system's choice for a 0); 0 for one not
    // held. GUI thread, between construction and destruction.
    struct HeldPorts {
        std::uint16_t discovery = 0;
        std::uint16_t host = 0;
        std::uint16_t master = 0;
    };
    HeldPorts heldPorts() const;

    RenderService(const RenderService&) = delete;
    RenderService& operator=(const RenderService&) = delete;

    // The accept loop; serverThread's task, with the service as argument.
    static void serveMasters(void* service);

    // What the service was given and what its start found: read by the
    // caller, which shows the failures and reports the start. Filled by the
    // constructor, read-only afterwards.
    const ServiceSetup setup;
    // What start-up could not do, in order.
    std::vector<StartupFailure> startupFailures;
    // The configuration's fatal error stopped the start (nothing runs), or
    // not one port could be bound: the node is to end once the admin has
    // seen the box.
    bool startFailed = false;
    NodeSettings settings;

    // Set by requestStop, and by a start that cannot serve masters; the
    // accept loop ends once it is set. Any thread.
    bool stopIsRequested() const { return stopRequested; }

    // What status requests are answered from, for the node's other faces
    // (its HTTP /status). Lives as long as the service.
    const StatusSource& statusSource() const { return status; }

private:
    // See stopIsRequested. Written by the GUI thread (and the constructor),
    // read afresh on every turn of the accept loop.
    std::atomic<bool> stopRequested{false};
    // Stops the accept loop and discovery, closes the listeners, waits for a
    // running job and its renderer. Whatever was never started is skipped.
    void stopEverything();

    StandbyThread serverThread;
    LogTarget* window;
    // What status requests are answered from: made before the replier,
    // which reads it, and released after it.
    StatusSource status;
    std::unique_ptr<FreeSpaceSampler> freeSpace;
    // The three below are released by stopEverything, in that order, once
    // the threads that use them have stopped; null when never started.
    std::unique_ptr<DiscoveryReplier> discoveryReplier;
    std::unique_ptr<HostListener> hostListener;
    std::unique_ptr<Port::ListeningSocket> masterServer;
    // The jobs' dump relay, kept from one job to the next; serverThread only.
    DumpRelay dumpRelay;
    // True while serveMasters runs a job; written by serverThread.
    std::atomic<bool> jobRunning{false};
    // The waiting line has been logged.
    bool stopWaitLogged = false;
    // Reaches the running job from the GUI thread.
    JobCut jobCut;
    bool cutLogged = false;
};

}  // namespace Varnix
