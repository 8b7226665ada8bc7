#pragma once
// The render service: data directory, configuration, discovery, the 3ds Max
// listener and the master accept loop with its jobs. The window creates it
// on the GUI thread and deletes it there; everything else runs on its
// worker threads.

#include "config/NodeSettings.h"
#include "core/NodeWindow.h"
#include "core/misc/multithreading/StandbyThread.h"
#include "node/DumpRelay.h"
#include "node/LineBudget.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace Varnix::Port {
class ListeningSocket;
}
class DiscoveryReplier;
class HostListener;

class RenderService {
public:
    // The masters' TCP port, on every interface.
    static constexpr std::uint16_t masterPort = 19668;

    // Prepares the data directory, loads DrConfig.txt, starts discovery,
    // opens both listeners and starts the accept loop on serverThread. Never
    // fails towards the caller: a master port that cannot be bound is shown
    // in a message box and the service goes on without masters. When a
    // worker thread cannot be created it throws Exception, having stopped
    // and released whatever it had started. GUI thread; `window` must
    // outlive the service.
    explicit RenderService(Varnix::NodeWindow* window);

    // Stops the accept loop and discovery, closes the listeners and waits,
    // without a time limit, for a running job and its renderer. GUI thread.
    ~RenderService();

    // Asks the accept loop to end. True, having logged once "Waiting for the
    // running job to end before stopping", when a job runs that the
    // destructor will have to wait for. GUI thread; any number of times.
    bool requestStop();

    RenderService(const RenderService&) = delete;
    RenderService& operator=(const RenderService&) = delete;

    // The accept loop; serverThread's task, with the service as argument.
    static void serveMasters(void* service);

private:
    // Stops the accept loop and discovery, closes the listeners, waits for a
    // running job and its renderer. Whatever was never started is skipped.
    void stopEverything();

public:
    Varnix::StandbyThread serverThread;
    Varnix::NodeWindow* window;
    // The three below are released by stopEverything, in that order, once
    // the threads that use them have stopped; null when never started.
    std::unique_ptr<DiscoveryReplier> discoveryReplier;
    std::unique_ptr<HostListener> hostListener;
    std::unique_ptr<Varnix::Port::ListeningSocket> masterServer;
    // The jobs' dump relay, kept from one job to the next; serverThread only.
    DumpRelay dumpRelay;
    std::atomic<bool> stopRequested{false};
    // True while serveMasters runs a job; written by serverThread.
    std::atomic<bool> jobRunning{false};
    // Lines of refused jobs (a version not configured here): a stranger can
    // send as many as it likes, each with different parameters. 50 at once
    // and one every 2 s on average, far above the few a minute of a farm
    // with a misconfigured master. serverThread.
    LineBudget refusedJobLines{50, 0.5};
    // The waiting line has been logged.
    bool stopWaitLogged = false;
    NodeSettings settings;
};
