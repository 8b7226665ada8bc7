#include "node/RenderService.h"

#include "config/NewestRelease.h"
#include "config/NodeConfig.h"
#include "config/RendererLimits.h"
#include "config/StatusAnswerScope.h"
#include "core/Str.h"
#include "node/DiscoveryReplier.h"
#include "node/HostListener.h"
#include "node/LinkPrimitives.h"
#include "node/MasterGate.h"
#include "node/RenderJob.h"
#include "node/StatusAnswer.h"
#include "node/Protocol.h"
#include "port/files.h"
#include "port/process.h"
#include "port/socket.h"

namespace Varnix {

namespace {

const int masterListenerTimeoutSeconds = 2;
const int workerStackSize = 1048576;

String portText(std::uint16_t port) { return Str::toString(int(port)); }

std::uint16_t boundPort(const Port::ListeningSocket* socket) {
    Port::IPv4Address local;
    return socket && socket->IsOk() && socket->GetLocal(local) ? local.port : 0;
}

}  // namespace

RenderService::RenderService(LogTarget* window, const ServiceSetup& setup) : setup(setup), window(window) {
    serverThread.name = u"MY_ServerThread";
    serverThread.stackSize = workerStackSize;

    settings.dataDirectory = setup.dataDirectory;
    // An existing directory is fine; any other failure shows up later on the
    // configuration and job files.
    Port::makeDirectory(settings.dataDirectory.wideCString());
    // A node that died mid-job here (killed, out of memory, its desktop gone)
    // left its renderer running: it would connect to this run's first job as
    // its 3ds Max and write its dumps into it.
    int leftovers = Port::endEarlierJobs(settings.dataDirectory.wideCString());
    if (leftovers > 0)
        window->log(u"Ended " + Str::toString(leftovers) + (leftovers == 1 ? u" process" : u" processes") +
                    u" left running by an earlier run of the node in " + settings.dataDirectory);

    String newestNote;
    settings.newestHostYear = readNewestHostYear(newestNote);
    if (!newestNote.isEmpty()) window->log(newestNote);
    String configError;
    if (!loadNodeConfig(settings, settings.dataDirectory + u"DrConfig.txt", window, configError)) {
        startupFailures.push_back({configError, String(fatalConfigCaption)});
        startFailed = true;
        stopRequested = true;
        return;
    }
    // Without the admin's switch, newer releases on the machine would go
    // unused without a word: say once which they are and how to take them.
    if (settings.newestHostYear == lastHostYear) {
        std::vector<std::int32_t> newer = releasesPast(lastHostYear);
        if (!newer.empty()) window->log(releasesPastNote(newer));
    }
    settings.limits = readRendererLimits();
    status.board = setup.state;
    status.log = setup.log;
    status.facts = statusFacts(settings, Port::machineName(), VARNIX_VERSION_TEXT);
    String askers = readStatusAnswerScope();
    if (!parseAddressScope(askers.toNarrow(), status.askers)) {
        // Narrowed by mistake is safer than open by mistake.
        status.askers.everyone = false;
        window->log(u"WARNING: statusAnswer \"" + askers +
                    u"\" is not off, any or a list of addresses (such as 10.0.0.21,10.0.0.0/24): the status "
                    u"answer is off");
    }

    try {
        discoveryReplier = std::make_unique<DiscoveryReplier>(window, setup.discoveryPort, &status);
        hostListener = std::make_unique<HostListener>(window, setup.hostPort);
        if (!hostListener->listeningSocket()->IsOk())
            startupFailures.push_back({"Cannot bind to loopback port (TCP " + portText(setup.hostPort) + u")",
                                       String(LogTarget::plainCaption)});

        masterServer = std::make_unique<Port::ListeningSocket>(Port::IPv4Address::any(setup.masterPort));
        masterServer->SetTimeout(masterListenerTimeoutSeconds);
        if (!masterServer->IsOk()) {
            startupFailures.push_back(
                {"Cannot bind to remote connection port (TCP " + portText(setup.masterPort) + u")",
                 String(LogTarget::plainCaption)});
            stopRequested = true;
        } else {
            stopRequested = false;
        }
        // Not one port of its own: another node holds them all (a copy
        // started from another folder). Once its boxes are seen it ends,
        // instead of running on with nothing to serve.
        if (discoveryReplier->boundPort() == 0 && !hostListener->listeningSocket()->IsOk() && !masterServer->IsOk())
            startFailed = true;
        serverThread.execute(&RenderService::serveMasters, this);
        // Last: a sampler that cannot start leaves only the free space
        // unknown.
        freeSpace = std::make_unique<FreeSpaceSampler>(String(settings.dataDirectory).wideCString(), status.freeDiskMb);
    } catch (...) {
        // The destructor will not run: the discovery thread, which logs into
        // the window, must not outlive this failed start.
        stopEverything();
        throw;
    }
}

RenderService::HeldPorts RenderService::heldPorts() const {
    HeldPorts held;
    if (discoveryReplier) held.discovery = discoveryReplier->boundPort();
    if (hostListener) held.host = boundPort(hostListener->listeningSocket());
    held.master = boundPort(masterServer.get());
    return held;
}

bool RenderService::requestStop() {
    stopRequested = true;
    if (!jobRunning) return false;
    // A stop that has to wait says so, once: the job may run for hours.
    if (!stopWaitLogged) window->log(u"Waiting for the running job to end before stopping");
    stopWaitLogged = true;
    return true;
}

void RenderService::cutRunningJob() {
    if (!jobRunning || cutLogged) return;
    cutLogged = true;
    int ended = jobCut.cut();
    window->log(u"Stopping now: the running job is cut short, its renderer ended (" + Str::toString(ended) +
                u" processes)");
}

RenderService::~RenderService() { stopEverything(); }

void RenderService::stopEverything() {
    requestStop();
    serverThread.waitIdle();
    // Its destructor wakes the replier's wait on the socket: setting the
    // flag alone left the stop waiting up to 5 s for a quiet network.
    discoveryReplier.reset();
    hostListener.reset();
    freeSpace.reset();
    if (masterServer) {
        masterServer->Destroy();
        masterServer.reset();
    }
}

void RenderService::serveMasters(void* argument) {
    auto* service = static_cast<RenderService*>(argument);
    if (service->stopRequested) return;
    // Greetings and parameter strings are awaited side by side there; a job
    // gets a connection only once its parameters have all arrived.
    MasterGate gate(service->masterServer.get(), service->window);
    gate.state = service->setup.state;
    service->dumpRelay.state = service->setup.state;
    RenderJobContext context{service->window,    service->settings, *service->hostListener,
                             service->dumpRelay, service->jobCut,   service->setup.state};
    while (!service->stopRequested) {
        std::unique_ptr<MasterConnection> master = gate.nextMaster(service->stopRequested, service->setup.betweenJobs);
        if (!master) continue;
        if (service->setup.state) {
            Port::IPv4Address peer;
            master->socket()->GetPeer(peer);
            service->setup.state->beginJob(String(peer.dotted().c_str()).wideCString());
        }
        service->jobRunning = true;
        runRenderJob(context, *master);
        service->jobRunning = false;
        if (service->setup.state) service->setup.state->setJobStage(NodeStage::idle);
        master.reset();  // "Ready for new connection" after the job's lines, then the close
    }
}

}  // namespace Varnix
