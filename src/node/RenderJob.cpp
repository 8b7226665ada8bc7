#include "node/RenderJob.h"

#include "config/DevelopmentMode.h"
#include "core/Exception.h"
#include "core/Str.h"
#include "node/DumpRelay.h"
#include "node/JobParameters.h"
#include "node/HostListener.h"
#include "node/LinkPrimitives.h"
#include "node/MasterGate.h"
#include "node/NetworkText.h"
#include "node/Protocol.h"
#include "port/appendfile.h"
#include "port/clock.h"
#include "port/files.h"
#include "port/process.h"
#include "port/shellquote.h"
#include "port/textfile.h"

#include <atomic>
#include <optional>

namespace Varnix {

namespace {

constexpr int cutSignalTimeoutSeconds = 5;
// MaxLog.txt is moved aside at the start of a job once it is this large, as
// DrLog.txt is rotated at the same size.
constexpr std::int64_t maxLogRotateBytes = 64LL << 20;

// Tells whoever asks what the node does that the job entered `stage`.
void publishStage(const RenderJobContext& context, NodeStage stage) {
    if (context.state != nullptr) context.state->setJobStage(stage);
}

// What the master asked for, once its scene is on disk.
struct JobRequest {
    String parameters;
    JobParameters job;
    int chosenVersion = 0;
    String scenePath;
    // Why the job could not go on, for the published state.
    JobOutcome outcome = JobOutcome::failed;
    std::u16string why;
};

// The job's end, for whoever asks what the node did last.
void publishEnd(const RenderJobContext& context, JobOutcome outcome, const std::u16string& why,
                std::optional<int> rendererExit = std::nullopt) {
    if (context.state != nullptr) context.state->endJob(outcome, why, rendererExit);
}

std::u16string releaseText(int version) { return String(Str::toString(version)).wideCString(); }

// Chooses the version for the parameters and downloads the scene. False,
// with the reason logged (or nothing, for a refusal past its budget), when
// the job cannot go on.
bool receiveJob(const RenderJobContext& context, MasterConnection& connection, JobRequest& request) {
    publishStage(context, NodeStage::receivingScene);
    LogTarget* window = context.window;
    Port::StreamSocket* master = connection.socket();
    const String& dataDirectory = context.settings.dataDirectory;
    if (!connection.parametersRead) {
        connection.announce();
        request.why = u"no job parameters came";
        return false;
    }
    request.parameters = connection.parameters;
    request.job = parseJobParameters(request.parameters);
    int requested = request.job.requestedVersion;
    request.chosenVersion = chooseHostVersion(context.settings, requested);
    if (context.state != nullptr)
        context.state->setJobRequest(request.chosenVersion != 0 ? request.chosenVersion : requested, request.job.frame);
    if (request.chosenVersion == 0) {
        request.outcome = JobOutcome::refused;
        request.why = u"3dsmax " + releaseText(requested) + u" is not configured here";
    }
    if (request.chosenVersion == 0 && !connection.mayExplainRefusal()) return false;
    connection.log(u"Parameters received: " + shownAsText(request.parameters));
    if (request.chosenVersion == 0) {
        window->log(u"Unsupported 3dsmax version: " + Str::toString(requested));
        return false;
    }

    // The data folder's name goes into the command line. cmd.exe would put
    // a variable's value in place of a %NAME% in it, quotes or not, and send
    // the renderer's scene, image and output elsewhere.
    String folder(dataDirectory);
    std::u16string reference = firstExpandedReference(folder.wideCString(), &Port::interpreterExpandsVariable);
    if (!reference.empty()) {
        window->log(u"Cannot render in the data folder " + folder + u": the command interpreter would replace " +
                    String(reference.c_str()) + u" in its name. Rename the folder.");
        request.why = u"the data folder's name holds " + reference;
        return false;
    }

    if (context.willRun) context.willRun();
    long long downloadStart = Port::elapsedMilliseconds();
    window->log(u"Downloading 3dsmax " + Str::toString(requested) + u" scene to render with 3dsmax " +
                Str::toString(request.chosenVersion));
    request.scenePath = dataDirectory + u"/received_scene.max";
    String failure;
    bool received = receiveFile(master, request.scenePath, &failure) == 0;
    long long downloadSeconds = (Port::elapsedMilliseconds() - downloadStart) / 1000;
    // Written either way, with what is on disk: scripts count downloads by it.
    std::int32_t sceneSize = getFileSize(request.scenePath);
    window->log(u"Downloaded scene: " + Str::getFormatted(std::uint64_t(std::int64_t(sceneSize))) + u" bytes in " +
                Str::toString(int(downloadSeconds)) + u" s");
    // A partial scene must never reach the renderer; the master learns of
    // the failure from the connection closing.
    if (!received) {
        String line = failure.isEmpty() ? String(u"Scene download failed") : u"Scene download failed: " + failure;
        window->log(line);
        request.why = line.wideCString();
        return false;
    }
    return true;
}

// The renderer's command line for the request, logged as it will run.
String prepareCommand(const RenderJobContext& context, const JobRequest& request) {
    LogTarget* window = context.window;
    const String& dataDirectory = context.settings.dataDirectory;
    // The command appends the renderer's output to MaxLog.txt by name; a
    // link planted there would take it elsewhere. The shell makes a plain
    // file in its place.
    String maxLog = dataDirectory + u"/MaxLog.txt";
    if (Port::isSymbolicLink(maxLog.wideCString())) {
        if (Port::deleteFile(maxLog.wideCString()))
            window->log(u"Removed " + maxLog + u": it was a symbolic link, and the node never writes through one");
        else
            window->log(u"Cannot remove " + maxLog + u", a symbolic link: the renderer's output goes where it leads");
    }
    // Every job appends to it: past a size it is moved aside (one older copy
    // is kept), so that a node running for months does not fill its disk.
    std::int64_t maxLogBytes = Port::fileSize(maxLog.wideCString());
    if (maxLogBytes >= maxLogRotateBytes) {
        String older = dataDirectory + u"/MaxLog.1.txt";
        if (Port::renameReplacing(maxLog.wideCString(), older.wideCString()))
            window->log(u"Moved " + maxLog + u" (" + Str::getFormatted(std::uint64_t(maxLogBytes)) + u" bytes) to " +
                        older + u"; the renderer's output starts a new one");
    }
    // The interpreter refuses the whole command when it cannot open it: the
    // system's reason is the admin's only clue.
    std::string why;
    if (!Port::canAppendTo(maxLog.wideCString(), why))
        window->log(u"Cannot write the renderer's output to " + maxLog + u": " + String(why.c_str()));
    String command = buildRenderCommand(context.settings.hostInstalls[request.chosenVersion - firstHostYear],
                                        request.scenePath, dataDirectory, request.job.frame);
    window->log(u"Running command:\n" + command);
    return command;
}

// Clears the data folder of earlier dumps and starts the command line.
// Null when the interpreter could not be started.
std::unique_ptr<Port::ChildProcess> startRenderer(const RenderJobContext& context, const String& command) {
    publishStage(context, NodeStage::waitingForHost);
    context.dumps.purgeDumpFiles(context.settings.dataDirectory, context.window);
    std::string why;
    // The paths in it go to the system as the names they were found as.
    String folder = context.settings.dataDirectory;
    std::unique_ptr<Port::ChildProcess> renderer =
        Port::ChildProcess::start(String(command).wideCString(), why, folder.wideCString());
    if (!renderer) {
        context.window->log(u"Cannot start the command interpreter: " + String(why.c_str()));
        return renderer;
    }
    if (context.state != nullptr) context.state->setRendererPid(renderer->processId());
    // Said once per run of the node: it holds for every job.
    static std::atomic<bool> limitationSaid{false};
    if (!renderer->limitation().empty() && !limitationSaid.exchange(true))
        context.window->log(u"Note: " + String(renderer->limitation().c_str()));
    return renderer;
}

String wholeSeconds(long long milliseconds) { return Str::toString(int(milliseconds / 1000)); }

// What the job knows of its renderer's time, and the ends it may come to.
class RendererWatch {
public:
    RendererWatch(const RenderJobContext& context, Port::ChildProcess* renderer)
        : context(context), renderer(renderer), startedAt(Port::elapsedMilliseconds()) {
        context.cut.hold(renderer);
    }
    ~RendererWatch() { context.cut.hold(nullptr); }

    // The job is over for the renderer (END forwarded, the master gone, or
    // 3ds Max closed its link): from now on only the exit limit applies.
    void jobOver() {
        if (overAt >= 0) return;
        overAt = Port::elapsedMilliseconds();
        // The exit wait counts its own minutes from here.
        linesWritten = 0;
    }

    // Ends the renderer's tree when a stop asks for it or a limit is reached,
    // logging which; "still waiting" lines while `what` takes long. True when
    // the renderer may go on.
    bool mayGoOn(const char16_t* what) {
        if (ended) return false;
        long long now = Port::elapsedMilliseconds();
        const RendererLimits& limits = context.settings.limits;
        // The stop that cut the job has ended the tree and said so.
        if (context.cut.isCut()) {
            ended = true;
            return false;
        }
        if (!online && overAt < 0 && limits.connectSeconds > 0 && now - startedAt >= limits.connectSeconds * 1000LL)
            return end(u"Time limit reached after " + wholeSeconds(now - startedAt) +
                       u" seconds: 3dsmax did not connect within the connect limit of " +
                       Str::toString(int(limits.connectSeconds)) + u" s; ending its process tree");
        if (overAt < 0 && limits.renderSeconds > 0 && now - startedAt >= limits.renderSeconds * 1000LL)
            return end(u"Time limit reached after " + wholeSeconds(now - startedAt) +
                       u" seconds: the render took longer than the render limit of " +
                       Str::toString(int(limits.renderSeconds)) + u" s; ending 3dsmax's process tree");
        if (overAt >= 0 && limits.exitSeconds > 0 && now - overAt >= limits.exitSeconds * 1000LL)
            return end(u"Time limit reached after " + wholeSeconds(now - overAt) +
                       u" seconds: 3dsmax did not exit within the exit limit of " +
                       Str::toString(int(limits.exitSeconds)) + u" s after the job was over; ending its process tree");
        long long since = overAt >= 0 ? overAt : startedAt;
        long long minutes = (now - since) / 60000;
        if (minutes >= stillWaitingMinutes && minutes / stillWaitingMinutes > linesWritten) {
            linesWritten = int(minutes / stillWaitingMinutes);
            context.window->log(u"Still waiting for 3dsmax to " + String(what) + u" after " +
                                Str::toString(int(linesWritten * stillWaitingMinutes)) + u" minutes");
        }
        return true;
    }

    void becameOnline() {
        online = true;
        linesWritten = 0;
    }

    // When the renderer started (Port::elapsedMilliseconds).
    long long startTime() const { return startedAt; }
    // The limit line when a limit ended the renderer; empty otherwise.
    const String& limitReached() const { return limitLine; }

private:
    bool end(const String& why) {
        limitLine = why;
        context.window->log(why);
        int count = renderer->endTree();
        context.window->log(u"Ended " + Str::toString(count) + (count == 1 ? u" process" : u" processes") +
                            u" of 3dsmax's process tree");
        ended = true;
        return false;
    }

    // The first "still waiting" line comes after this long, then one per
    // period: enough for an admin to see what a machine waits for, without
    // filling the log over a night.
    static constexpr int stillWaitingMinutes = 5;

    const RenderJobContext& context;
    Port::ChildProcess* renderer;
    long long startedAt;
    long long overAt = -1;
    bool online = false;
    bool ended = false;
    int linesWritten = 0;
    String limitLine;
};

enum class HostWait { online, rendererExited, ended };

// Waits for 3ds Max to connect back while the renderer runs; an END from
// the master is kept for 3ds Max. A master that leaves meanwhile does not
// end the wait: 3ds Max is still greeted and told the data folder when it
// connects, and the closed link is what tells it that the job is over
// (otherwise it might render on alone while the node waits for its exit).
HostWait waitForHost(const RenderJobContext& context, Port::StreamSocket* master, Port::ChildProcess* renderer,
                     RendererWatch& watch, PartialSignal& fromMaster, int& pendingEnds) {
    HostWait result = HostWait::online;
    for (;;) {
        if (renderer->wait(0)) {
            // A cut renderer did not fail: the stop ended it, and says so.
            if (!context.cut.isCut()) context.window->log(u"Got no response from 3dsmax, aborting");
            result = HostWait::rendererExited;
            break;
        }
        if (!watch.mayGoOn(u"connect")) return HostWait::ended;
        if (isUsable(master) && fromMaster.poll(master) == endSignal) ++pendingEnds;
        if (context.host.acceptHost(context.settings.dataDirectory, renderer->jobId())) break;
    }
    if (result == HostWait::online) {
        long long seconds = (Port::elapsedMilliseconds() - watch.startTime()) / 1000;
        context.window->log(u"3dsmax is online after " + Str::toString(int(seconds)) + u" seconds");
        watch.becameOnline();
    }
    // After the lines the wait always writes, never instead of them.
    if (!isUsable(master)) context.window->log(u"The master left before 3dsmax connected");
    return result;
}

// The relay while both sides are there; an END that came before 3ds Max
// did goes to it first.
int relay(const RenderJobContext& context, Port::StreamSocket* master, RendererWatch& watch, PartialSignal& fromMaster,
          int pendingEnds) {
    publishStage(context, NodeStage::rendering);
    if (context.state != nullptr) context.state->rendererRendering();
    for (; pendingEnds > 0; --pendingEnds) {
        context.window->log(u"Got END signal from remote side, forwarding to 3dsmax");
        context.host.sendEnd();
        watch.jobOver();
    }
    RelayInputs inputs{master, &context.host, context.settings.dataDirectory, context.window};
    inputs.cut = &context.cut;
    inputs.fromMaster = &fromMaster;
    inputs.goOn = [&watch](bool endForwarded) {
        if (endForwarded) watch.jobOver();
        return watch.mayGoOn(u"render");
    };
    return context.dumps.relayWhileBothConnected(inputs);
}

// The last relay, the close of the 3ds Max side, the wait for the renderer
// to exit (within the exit limit) and the purge. Returns how many dumps
// were still cut short once the renderer had gone (none sent); `relayed`
// grows by the dumps sent here.
int finishJob(const RenderJobContext& context, Port::StreamSocket* master, Port::ChildProcess* renderer,
              RendererWatch* watch, int& relayed) {
    publishStage(context, NodeStage::finishing);
    LogTarget* window = context.window;
    const String& dataDirectory = context.settings.dataDirectory;
    relayed += context.dumps.relayDumpFiles(master, dataDirectory, window);
    context.host.closeHost();
    window->log(u"Closed loopback connection\n\n");
    if (renderer != nullptr) {
        watch->jobOver();
        while (!renderer->wait(1000)) {
            if (!watch->mayGoOn(u"exit")) renderer->wait(-1);
        }
        window->log(u"3dsmax exited with status " + Str::toString(renderer->exitStatus()));
        if (context.state != nullptr) context.state->setRendererPid(0);
        // A helper the renderer left running could write dumps into the
        // next job: nothing of this job's process tree outlives it.
        int left = renderer->endTree();
        if (left > 0)
            window->log(u"Ended " + Str::toString(left) + (left == 1 ? u" process" : u" processes") +
                        u" left behind by 3dsmax");
    }
    // Dumps held back while their data ran past their end: the ones the
    // renderer finished still go, the others are named and count against
    // the job.
    int cutDumps = 0;
    if (renderer != nullptr && context.dumps.heldBackCutDumps()) {
        relayed += context.dumps.relayDumpFiles(master, dataDirectory, window);
        cutDumps = context.dumps.reportCutDumps(dataDirectory, window);
    }
    if (!isDevelopmentMode()) context.dumps.purgeDumpFiles(dataDirectory, window);
    // Otherwise such a job would look like a good one in the log.
    if (relayed == 0) window->log(u"No image was sent to the master in this job");
    if (cutDumps > 0)
        window->log(u"The job failed: " + Str::toString(cutDumps) + (cutDumps == 1 ? u" dump was" : u" dumps were") +
                    u" cut short on this machine and not sent");
    return cutDumps;
}

}  // namespace

void runRenderJob(const RenderJobContext& context, MasterConnection& connection) {
    JobRequest request;
    if (!receiveJob(context, connection, request)) {
        publishEnd(context, request.outcome, request.why);
        return;
    }
    if (context.cut.isCut()) {
        publishEnd(context, JobOutcome::cut, u"a stop cut it short");
        return;
    }
    Port::StreamSocket* master = connection.socket();
    String command = prepareCommand(context, request);
    std::unique_ptr<Port::ChildProcess> renderer = startRenderer(context, command);
    if (!renderer) {
        context.window->log(u"Got no response from 3dsmax, aborting");
        int relayed = 0;
        finishJob(context, master, nullptr, nullptr, relayed);
        publishEnd(context, JobOutcome::failed, u"the command interpreter could not be started");
        return;
    }
    int cutDumps = 0;
    int relayed = 0;
    String limitLine;
    HostWait wait;
    {
        RendererWatch watch(context, renderer.get());
        PartialSignal fromMaster;
        int pendingEnds = 0;
        wait = waitForHost(context, master, renderer.get(), watch, fromMaster, pendingEnds);
        if (wait == HostWait::online) relayed = relay(context, master, watch, fromMaster, pendingEnds);
        cutDumps = finishJob(context, master, renderer.get(), &watch, relayed);
        limitLine = watch.limitReached();
    }
    // The first that applies names the job's end.
    int exitStatus = renderer->exitStatus();
    if (context.cut.isCut())
        publishEnd(context, JobOutcome::cut, u"a stop cut it short", exitStatus);
    else if (!limitLine.isEmpty())
        publishEnd(context, JobOutcome::limit, limitLine.wideCString(), exitStatus);
    else if (wait == HostWait::rendererExited)
        publishEnd(context, JobOutcome::failed, u"3dsmax exited before it connected", exitStatus);
    else if (cutDumps > 0)
        publishEnd(context, JobOutcome::failed, u"dumps were cut short and not sent", exitStatus);
    else if (relayed == 0)
        publishEnd(context, JobOutcome::failed, u"no image was sent to the master", exitStatus);
    else
        publishEnd(context, JobOutcome::served, u"", exitStatus);
    // The protocol has no word for a failed job: a dump announced and never
    // sent is one that no master takes for a finished job.
    if (context.cut.isCut()) {
        writeSignal(master, fileDumpSignal, cutSignalTimeoutSeconds);
        context.window->log(u"The job was cut short by the stop; the master was told");
    } else if (cutDumps > 0) {
        writeSignal(master, fileDumpSignal, cutSignalTimeoutSeconds);
    }
}

int JobCut::cut() {
    Port::MutexLock guard(lock);
    cutFlag = true;
    return renderer != nullptr ? renderer->endTree() : 0;
}

void JobCut::hold(Port::ChildProcess* running) {
    Port::MutexLock guard(lock);
    renderer = running;
    if (renderer == nullptr) return;
    // A cut that came before the renderer started ends it at once.
    if (cutFlag) renderer->endTree();
}

}  // namespace Varnix
