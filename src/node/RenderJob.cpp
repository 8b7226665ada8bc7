#include "node/RenderJob.h"

#include "config/DevelopmentMode.h"
#include "core/Exception.h"
#include "core/Str.h"
#include "node/DumpRelay.h"
#include "node/JobParameters.h"
#include "node/LineBudget.h"
#include "node/HostListener.h"
#include "node/LinkPrimitives.h"
#include "node/NetworkText.h"
#include "node/Signals.h"
#include "node/SocketHolder.h"
#include "port/clock.h"
#include "port/dirwatch.h"
#include "port/files.h"
#include "port/process.h"
#include "port/shellquote.h"
#include "port/textfile.h"

using Varnix::String;

int relayWhileBothConnected(Varnix::Port::StreamSocket* master, HostListener& host, DumpRelay& relay,
                            const String& dataDirectory, Varnix::NodeWindow* window, int pollMilliseconds,
                            const JobCut* cut) {
    int relayed = 0;
    // An END may come in pieces across turns.
    Varnix::PartialSignal fromMaster;
    // Woken by a finished dump, a byte from the master or 3ds Max going away;
    // the poll period is only the longest pause.
    String directory = dataDirectory;
    Varnix::Port::DirectoryWatch dumps(directory.toNarrow());
    while (Varnix::isUsable(master) && host.hasConnection() && host.connectionUsable() &&
           !(cut != nullptr && cut->isCut())) {
        relayed += relay.relayDumpFiles(master, dataDirectory, window);
        if (fromMaster.poll(master) == Varnix::endSignal) {
            window->log(u"Got END signal from remote side, forwarding to 3dsmax");
            host.sendEnd();
        }
        Varnix::Port::waitForActivity(&dumps, master, host.connection(), pollMilliseconds);
    }
    return relayed;
}

void logHeldBackRefusals(Varnix::NodeWindow* window, LineBudget& budget, bool last) {
    std::uint64_t count = last ? budget.takeCount() : budget.dueCount(Varnix::Port::elapsedMilliseconds());
    if (count == 0) return;
    window->log(u"Refused " + Varnix::Str::getFormatted(count) +
                u" more jobs for 3dsmax versions not configured here, too many to log one by one");
}

namespace {

constexpr int cutSignalTimeoutSeconds = 5;

// What the master asked for, once its scene is on disk.
struct JobRequest {
    String parameters;
    JobParameters job;
    int chosenVersion = 0;
    String scenePath;
};

// Receives the parameters, chooses the version and downloads the scene.
// False, with the reason logged (or nothing, as for a silent master), when
// the job cannot go on.
bool receiveJob(const RenderJobContext& context, Varnix::Port::StreamSocket* master, JobRequest& request) {
    Varnix::NodeWindow* window = context.window;
    const String& dataDirectory = context.settings.dataDirectory;
    if (Varnix::readString(master, request.parameters) != 0) return false;
    request.job = parseJobParameters(request.parameters);
    int requested = request.job.requestedVersion;
    request.chosenVersion = chooseHostVersion(context.settings, requested);
    // A refusal costs its sender nothing, and each can carry a different
    // parameter text that no repeat count merges: past a burst they are
    // counted instead of written.
    logHeldBackRefusals(window, context.refusedJobLines);
    if (request.chosenVersion == 0 && !context.refusedJobLines.take(Varnix::Port::elapsedMilliseconds())) return false;
    window->log(u"Parameters received: " + shownAsText(request.parameters));
    if (request.chosenVersion == 0) {
        window->log(u"Unsupported 3dsmax version: " + Varnix::Str::toString(requested));
        return false;
    }

    // The data folder's name goes into the command line. cmd.exe would put
    // a variable's value in place of a %NAME% in it, quotes or not, and send
    // the renderer's scene, image and output elsewhere.
    String folder(dataDirectory);
    std::u16string reference = firstExpandedReference(folder.wideCString(), &Varnix::Port::interpreterExpandsVariable);
    if (!reference.empty()) {
        window->log(u"Cannot render in the data folder " + folder + u": the command interpreter would replace " +
                    String(reference.c_str()) + u" in its name. Rename the folder.");
        return false;
    }

    long long downloadStart = Varnix::Port::elapsedMilliseconds();
    window->log(u"Downloading 3dsmax " + Varnix::Str::toString(requested) + u" scene to render with 3dsmax " +
                Varnix::Str::toString(request.chosenVersion));
    request.scenePath = dataDirectory + u"/received_scene.max";
    bool received = Varnix::receiveFile(master, request.scenePath) == 0;
    long long downloadSeconds = (Varnix::Port::elapsedMilliseconds() - downloadStart) / 1000;
    // Written either way, with what is on disk: scripts count downloads by it.
    std::int32_t sceneSize = Varnix::getFileSize(request.scenePath);
    window->log(u"Downloaded scene: " + Varnix::Str::getFormatted(std::uint64_t(std::int64_t(sceneSize))) +
                u" bytes in " + Varnix::Str::toString(int(downloadSeconds)) + u" s");
    // A partial scene must never reach the renderer; the master learns of
    // the failure from the connection closing.
    if (!received) {
        window->log(u"Scene download failed");
        return false;
    }
    return true;
}

// The renderer's command line for the request, logged as it will run.
String prepareCommand(const RenderJobContext& context, const JobRequest& request) {
    Varnix::NodeWindow* window = context.window;
    const String& dataDirectory = context.settings.dataDirectory;
    // The command appends the renderer's output to MaxLog.txt by name; a
    // link planted there would take it elsewhere. The shell makes a plain
    // file in its place.
    String maxLog = dataDirectory + u"/MaxLog.txt";
    if (Varnix::Port::isSymbolicLink(maxLog.toFileName().c_str())) {
        if (Varnix::Port::deleteFile(maxLog.wideCString()))
            window->log(u"Removed " + maxLog + u": it was a symbolic link, and the node never writes through one");
        else
            window->log(u"Cannot remove " + maxLog + u", a symbolic link: the renderer's output goes where it leads");
    }
    String command = buildRenderCommand(context.settings.hostInstalls[request.chosenVersion - firstHostYear],
                                        request.scenePath, dataDirectory, request.job.frame);
    window->log(u"Running command:\n" + command);
    return command;
}

// Clears the data folder of earlier dumps and starts the command line.
// Null when the interpreter could not be started.
std::unique_ptr<Varnix::Port::ChildProcess> startRenderer(const RenderJobContext& context, const String& command) {
    context.dumps.purgeDumpFiles(context.settings.dataDirectory, context.window);
    std::string why;
    // The paths in it go to the system as the names they were found as.
    return Varnix::Port::ChildProcess::start(command.toFileName().c_str(), why);
}

// Waits for 3ds Max to connect back while the renderer runs. True once it
// is online.
bool waitForHost(const RenderJobContext& context, Varnix::Port::ChildProcess* renderer) {
    long long waitStart = Varnix::Port::elapsedMilliseconds();
    for (;;) {
        if (renderer == nullptr || renderer->wait(0)) {
            // A cut renderer did not fail: the stop ended it, and says so.
            if (!context.cut.isCut()) context.window->log(u"Got no response from 3dsmax, aborting");
            return false;
        }
        if (context.host.acceptHost(context.settings.dataDirectory)) break;
    }
    long long seconds = (Varnix::Port::elapsedMilliseconds() - waitStart) / 1000;
    context.window->log(u"3dsmax is online after " + Varnix::Str::toString(int(seconds)) + u" seconds");
    return true;
}

// The last relay, the close of the 3ds Max side, the wait for the renderer
// to exit and the purge.
void finishJob(const RenderJobContext& context, Varnix::Port::StreamSocket* master,
               Varnix::Port::ChildProcess* renderer, int relayed) {
    Varnix::NodeWindow* window = context.window;
    const String& dataDirectory = context.settings.dataDirectory;
    relayed += context.dumps.relayDumpFiles(master, dataDirectory, window);
    context.host.closeHost();
    window->log(u"Closed loopback connection\n\n");
    if (renderer != nullptr) {
        renderer->wait(-1);
        // A helper the renderer left running could write dumps into the
        // next job: nothing of this job's process tree outlives it.
        int left = renderer->endTree();
        if (left > 0)
            window->log(u"Ended " + Varnix::Str::toString(left) + (left == 1 ? u" process" : u" processes") +
                        u" left behind by 3dsmax");
    }
    if (!isDevelopmentMode()) context.dumps.purgeDumpFiles(dataDirectory, window);
    // Otherwise such a job would look like a good one in the log.
    if (relayed == 0) window->log(u"No image was sent to the master in this job");
}

}  // namespace

void runRenderJob(const RenderJobContext& context, Varnix::SocketHolder& holder) {
    Varnix::Port::StreamSocket* master = holder.get();
    JobRequest request;
    if (!receiveJob(context, master, request)) return;
    String command = prepareCommand(context, request);
    std::unique_ptr<Varnix::Port::ChildProcess> renderer = startRenderer(context, command);
    context.cut.hold(renderer.get());
    int relayed = 0;
    if (waitForHost(context, renderer.get()))
        relayed = relayWhileBothConnected(master, context.host, context.dumps, context.settings.dataDirectory,
                                          context.window, relayPollMilliseconds, &context.cut);
    finishJob(context, master, renderer.get(), relayed);
    context.cut.hold(nullptr);
    if (context.cut.isCut()) {
        // The protocol has no word for a cut job: a dump announced and never
        // sent is one that no master takes for a finished job.
        Varnix::writeSignal(master, Varnix::fileDumpSignal, cutSignalTimeoutSeconds);
        context.window->log(u"The job was cut short by the stop; the master was told");
    }
}

int JobCut::cut() {
    Varnix::Port::MutexLock guard(lock);
    cutFlag = true;
    return renderer != nullptr ? renderer->endTree() : 0;
}

void JobCut::hold(Varnix::Port::ChildProcess* running) {
    Varnix::Port::MutexLock guard(lock);
    renderer = running;
    if (renderer == nullptr) return;
    // A cut that came before the renderer started ends it at once.
    if (cutFlag) renderer->endTree();
}
