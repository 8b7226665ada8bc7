#include "node/RenderService.h"

#include "config/NodeConfig.h"
#include "core/Str.h"
#include "node/DiscoveryReplier.h"
#include "node/HostListener.h"
#include "node/LinkPrimitives.h"
#include "node/MasterGate.h"
#include "node/RenderJob.h"
#include "node/Signals.h"
#include "node/SocketHolder.h"
#include "port/files.h"
#include "port/socket.h"

using Varnix::String;

namespace {

const int masterListenerTimeoutSeconds = 2;
const int workerStackSize = 1048576;
const std::size_t workingDirectoryBufferSize = 10240;

}  // namespace

RenderService::RenderService(Varnix::NodeWindow* window) : window(window) {
    serverThread.name = u"MY_ServerThread";
    serverThread.stackSize = workerStackSize;

    char workingDirectory[workingDirectoryBufferSize];
    Varnix::Port::getWorkingDirectory(workingDirectory, sizeof workingDirectory);
    // A file name: decoded so that it turns back into the same bytes, even
    // when they are not UTF-8.
    settings.dataDirectory = String::fromFileName(workingDirectory) + u"/drData/";
    // An existing directory is fine; any other failure shows up later on the
    // configuration and job files.
    Varnix::Port::makeDirectory(settings.dataDirectory.toFileName().c_str());

    loadNodeConfig(settings, settings.dataDirectory + u"DrConfig.txt", window);

    try {
        discoveryReplier = std::make_unique<DiscoveryReplier>(window);
        hostListener = std::make_unique<HostListener>(window);

        masterServer = std::make_unique<Varnix::Port::ListeningSocket>(Varnix::Port::IPv4Address::any(masterPort));
        masterServer->SetTimeout(masterListenerTimeoutSeconds);
        if (!masterServer->IsOk()) {
            window->showMessageBox(
                "Cannot bind to remote connection port (TCP " + Varnix::Str::toString(int(masterPort)) + u")",
                Varnix::NodeWindow::plainCaption);
            stopRequested = true;
        } else {
            stopRequested = false;
        }
        serverThread.execute(&RenderService::serveMasters, this);
    } catch (...) {
        // The destructor will not run: the discovery thread, which logs into
        // the window, must not outlive this failed start.
        stopEverything();
        throw;
    }
}

bool RenderService::requestStop() {
    stopRequested = true;
    if (!jobRunning) return false;
    // A stop that has to wait says so, once: the job may run for hours.
    if (!stopWaitLogged) window->log(u"Waiting for the running job to end before stopping");
    stopWaitLogged = true;
    return true;
}

RenderService::~RenderService() { stopEverything(); }

void RenderService::stopEverything() {
    requestStop();
    serverThread.waitIdle();
    if (discoveryReplier) {
        discoveryReplier->stopRequested = true;
        discoveryReplier->waitIdle();
        discoveryReplier.reset();
    }
    hostListener.reset();
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
    RenderJobContext context{service->window, service->settings, *service->hostListener, service->dumpRelay,
                             service->refusedJobLines};
    while (!service->stopRequested) {
        std::unique_ptr<Varnix::Port::StreamSocket> master = gate.nextMaster(
            service->stopRequested, [service] { logHeldBackRefusals(service->window, service->refusedJobLines); });
        if (!master) continue;
        Varnix::SocketHolder holder(std::move(master));
        service->jobRunning = true;
        runRenderJob(context, holder);
        service->jobRunning = false;
        service->window->log(u"Ready for new connection");
        holder.release();
    }
    // Nothing goes unreported, not even at the end.
    logHeldBackRefusals(service->window, service->refusedJobLines, true);
}
