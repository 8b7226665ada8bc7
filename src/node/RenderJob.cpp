#include "node/RenderJob.h"

#include "config/DevelopmentMode.h"
#include "core/Exception.h"
#include "core/Str.h"
#include "node/DataFolder.h"
#include "node/DumpRelay.h"
#include "node/JobParameters.h"
#include "node/HostListener.h"
#include "node/LinkPrimitives.h"
#include "node/MasterGate.h"
#include "node/NetworkText.h"
#include "node/RendererExit.h"
#include "node/Protocol.h"
#include "port/appendfile.h"
#include "port/clock.h"
#include "port/files.h"
#include "port/power.h"
#include "port/process.h"
#include "port/shellquote.h"
#include "port/textfile.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace Varnix {

namespace {

constexpr int cutSignalTimeoutSeconds = 5;
// The caption of the box 3ds Max shows when Safe Scene Script Execution
// blocks a command.
const std::u16string safeSceneDialogTitle = u"Security Messages";
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
    // Held from the scene's arrival to the job's end.
    std::unique_ptr<Port::StayAwake> awake;
};

// Asks the system not to sleep while the job runs: neither Windows nor
// logind counts a busy CPU as use of the machine. Where nobody manages
// sleep (no logind) nothing is said; another failure is said once per run.
std::unique_ptr<Port::StayAwake> stayAwake(const RenderJobContext& context) {
    auto awake = std::make_unique<Port::StayAwake>(u"Rendering a frame for a distributed render");
    static std::atomic<bool> failureSaid{false};
    if (!awake->status().isOk() && !awake->nobodyToAsk() && !failureSaid.exchange(true))
        context.window->log(u"WARNING: cannot keep the machine from sleeping during jobs: " +
                            String(awake->status().text().c_str()));
    return awake;
}

// The job's end, for whoever asks what the node did last.
void publishEnd(const RenderJobContext& context, JobOutcome outcome, const std::u16string& why,
                std::optional<int> rendererExit = std::nullopt) {
    if (context.state != nullptr) context.state->endJob(outcome, why, rendererExit);
}

std::u16string releaseText(int version) { return String(Str::toString(version)).wideCString(); }

String diskMegabytes(std::int64_t bytes) { return Str::getFormatted(std::uint64_t(bytes >> 20)) + u" MB"; }

// Whether a scene of `sceneBytes` fits the data folder's disk with the
// admin's margin to spare; logs the refusal when not. A disk whose free
// space cannot be told is taken to have room.
bool sceneFits(const RenderJobContext& context, std::int32_t sceneBytes) {
    const String& dataDirectory = context.settings.dataDirectory;
    std::int64_t free = dataDiskFreeBytes(dataDirectory);
    if (free < 0) return true;
    // The scene replaces the last job's.
    String lastScene = dataDirectory + u"/received_scene.max";
    std::int64_t replaced = Port::fileSize(lastScene.wideCString());
    if (replaced > 0) free += replaced;
    std::int64_t margin = std::int64_t(context.settings.limits.dataDiskMarginMB) << 20;
    std::int64_t needed = std::int64_t(sceneBytes) + margin;
    if (free >= needed) return true;
    context.window->log(u"Not enough free space for the scene on the data folder's disk: " +
                        Str::getFormatted(std::uint64_t(free)) + u" bytes free, " +
                        Str::getFormatted(std::uint64_t(needed)) + u" bytes needed (the scene's " +
                        Str::getFormatted(std::uint64_t(sceneBytes)) + u" bytes plus a margin of " +
                        diskMegabytes(margin) + u"); job refused");
    return false;
}

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

    // The scene's size comes ahead of it: a disk that cannot hold the scene
    // turns the job away as an unconfigured version does, before any of it
    // is sent.
    std::int32_t sceneBytes = readFileFrameSize(master);
    if (sceneBytes >= 0 && !sceneFits(context, sceneBytes)) {
        request.outcome = JobOutcome::refused;
        request.why = u"the data folder's disk has no room for the scene";
        return false;
    }

    request.awake = stayAwake(context);
    long long downloadStart = Port::elapsedMilliseconds();
    window->log(u"Downloading 3dsmax " + Str::toString(requested) + u" scene to render with 3dsmax " +
                Str::toString(request.chosenVersion));
    request.scenePath = dataDirectory + u"/received_scene.max";
    String failure;
    bool received = receiveFile(master, request.scenePath, &failure, &sceneBytes) == 0;
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
        // The system's reason (a read-only or full disk) goes first: the
        // folder's path ahead of it could push it out of the status answer.
        const String pathPart = Exception::fileError(request.scenePath).getMessage() + u": ";
        if (failure.length() > pathPart.length() && failure.substring(0, pathPart.length()) == pathPart)
            line = u"the scene could not be stored: " + failure.substring(pathPart.length(), failure.length());
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
    Port::Status appendable = Port::canAppendTo(maxLog.wideCString());
    if (!appendable.isOk())
        window->log(u"Cannot write the renderer's output to " + maxLog + u": " + String(appendable.text().c_str()));
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
    // The paths in it go to the system as the names they were found as.
    String folder = context.settings.dataDirectory;
    auto started = Port::ChildProcess::start(String(command).wideCString(), folder.wideCString());
    if (!started.isOk()) {
        context.window->log(u"Cannot start the command interpreter: " + String(started.status().text().c_str()));
        return nullptr;
    }
    std::unique_ptr<Port::ChildProcess> renderer = started.take();
    if (context.state != nullptr) context.state->setRendererPid(renderer->processId());
    // Said once per run of the node: it holds for every job.
    static std::atomic<bool> limitationSaid{false};
    if (!renderer->limitation().empty() && !limitationSaid.exchange(true))
        context.window->log(u"Note: " + String(renderer->limitation().c_str()));
    return renderer;
}

String wholeSeconds(long long milliseconds) { return Str::toString(int(milliseconds / 1000)); }

// "12.5": one decimal, for seconds of CPU and shares of a core.
String oneDecimal(double value) {
    long long tenths = std::llround(std::max(0.0, value) * 10);
    return Str::toString(tenths / 10) + u"." + Str::toString(int(tenths % 10));
}

String megabytes(std::uint64_t bytes) { return Str::toString((long long)(bytes >> 20)); }

// What the job knows of its renderer's time and use, and the ends it may
// come to.
class RendererWatch {
public:
    RendererWatch(const RenderJobContext& context, Port::ChildProcess* renderer)
        : context(context),
          renderer(renderer),
          startedAt(Port::elapsedMilliseconds()),
          idleSince(startedAt),
          dumpsSeen(context.dumps.sentInAll()) {
        context.cut.hold(renderer);
        const RendererLimits& limits = context.settings.limits;
        // Where the system holds the cap, an allocation past it fails and
        // the watch hears of it; elsewhere the watch compares what it reads.
        if (limits.memoryMB > 0) renderer->limitMemory(std::uint64_t(limits.memoryMB) << 20);
    }
    ~RendererWatch() { context.cut.hold(nullptr); }

    // The job is over for the renderer (END forwarded, the master gone, or
    // 3ds Max closed its link): from now on only the exit limit applies.
    void jobOver() {
        if (overAt >= 0) return;
        overAt = Port::elapsedMilliseconds();
    }

    // Ends the renderer's tree when a stop asks for it or a limit is reached,
    // logging which; "still waiting" lines while `what` takes long. True when
    // the renderer may go on.
    bool mayGoOn(const char16_t* what) {
        if (ending != RendererEnding::exited) return false;
        long long now = Port::elapsedMilliseconds();
        const RendererLimits& limits = context.settings.limits;
        // The stop that cut the job has ended the tree and said so.
        if (context.cut.isCut()) {
            ending = RendererEnding::stop;
            return false;
        }
        if (!online && overAt < 0 && limits.connectSeconds > 0 && now - startedAt >= limits.connectSeconds * 1000LL)
            return end(RendererEnding::connect, u"Time limit reached after " + wholeSeconds(now - startedAt) +
                                                    u" seconds: 3dsmax did not connect within the connect limit of " +
                                                    Str::toString(int(limits.connectSeconds)) +
                                                    u" s; ending its process tree");
        if (overAt < 0 && limits.renderSeconds > 0 && now - startedAt >= limits.renderSeconds * 1000LL)
            return end(RendererEnding::render, u"Time limit reached after " + wholeSeconds(now - startedAt) +
                                                   u" seconds: the render took longer than the render limit of " +
                                                   Str::toString(int(limits.renderSeconds)) +
                                                   u" s; ending 3dsmax's process tree");
        if (overAt >= 0 && limits.exitSeconds > 0 && now - overAt >= limits.exitSeconds * 1000LL) {
            // 3ds Max may have gone while a process it left holds its link.
            const char16_t* who = renderer->wait(0) ? u" seconds: 3dsmax exited, but a process it left held its link "
                                                      u"open past the exit limit of "
                                                    : u" seconds: 3dsmax did not exit within the exit limit of ";
            return end(RendererEnding::exit, u"Time limit reached after " + wholeSeconds(now - overAt) + who +
                                                 Str::toString(int(limits.exitSeconds)) +
                                                 u" s after the job was over; ending its process tree");
        }
        if (!watchUse(now)) return false;
        // Each wait counts its own minutes: connecting from the renderer's
        // start, rendering from 3ds Max coming online (an END it ignores
        // changes nothing), exiting from the job's end.
        const std::u16string_view waitingFor(what);
        const long long since = waitingFor == u"exit" && overAt >= 0       ? overAt
                                : waitingFor == u"render" && onlineAt >= 0 ? onlineAt
                                                                           : startedAt;
        if (waitingFor != countedWait) {
            countedWait = waitingFor;
            linesWritten = 0;
        }
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
        onlineAt = Port::elapsedMilliseconds();
    }

    // When the renderer started (Port::elapsedMilliseconds).
    long long startTime() const { return startedAt; }
    // The limit line when a limit ended the renderer; empty otherwise.
    const String& limitReached() const { return limitLine; }

    // Why the renderer ended: `exited` unless the node ended it.
    RendererEnding endedBy() const { return ending; }

private:
    // What the watch looks at besides the tree's use, on each of its turns:
    // the renderer's dialog boxes and the data folder's disk. False once the
    // tree was ended.
    bool lookAtRenderer(long long now) {
        noteLowDisk();
        return watchDialogs(now);
    }

    // Each box shown by the tree is logged once; one shown longer than the
    // dialog limit ends the tree (a box nobody clicks stops the render for
    // good).
    bool watchDialogs(long long now) {
        std::vector<Port::ShownWindow> windows = renderer->shownWindows();
        std::vector<ShownSince> still;
        for (const Port::ShownWindow& window : windows) {
            auto known = std::find_if(dialogs.begin(), dialogs.end(),
                                      [&](const ShownSince& dialog) { return dialog.window.id == window.id; });
            if (known != dialogs.end()) {
                still.push_back(*known);
                continue;
            }
            still.push_back({window, now});
            context.window->log(u"3dsmax shows a dialog box: " + oneLine(window.title) + u": " + oneLine(window.text) +
                                u" (process " + Str::toString(int(window.processId)) +
                                (window.program.empty() ? String() : u", " + String(window.program.c_str())) + u")");
            // 3ds Max 2022 and later stop a scene's script on this box;
            // the farm's policy, not a click, is the cure.
            if (window.title == safeSceneDialogTitle)
                context.window->log(
                    u"3dsmax's Safe Scene Script Execution blocked a command of a script in the scene and waits for "
                    u"a click on its \"Security Messages\" box; set the farm's Safe Scene policy (see the Windows "
                    u"guide) so that no render waits on it");
        }
        dialogs.swap(still);
        publishDialog();
        std::uint32_t limit = context.settings.limits.dialogSeconds;
        if (limit == 0) return true;
        for (const ShownSince& dialog : dialogs) {
            if (now - dialog.since < limit * 1000LL) continue;
            return end(RendererEnding::dialog, u"Dialog box limit reached after " + wholeSeconds(now - dialog.since) +
                                                   u" seconds: 3dsmax's dialog box \"" + oneLine(dialog.window.title) +
                                                   u"\" waited longer than the dialog limit of " +
                                                   Str::toString(int(limit)) + u" s; ending its process tree");
        }
        return true;
    }

    // The first box still shown, for whoever asks what the node does.
    void publishDialog() {
        if (context.state == nullptr) return;
        if (dialogs.empty()) {
            if (dialogShown) context.state->clearDialog();
            dialogShown = false;
            return;
        }
        const Port::ShownWindow& window = dialogs.front().window;
        if (dialogShown && shownId == window.id) return;
        RendererDialog dialog;
        dialog.pid = std::uint32_t(window.processId);
        dialog.title = window.title;
        dialog.text = window.text;
        context.state->setDialog(dialog);
        dialogShown = true;
        shownId = window.id;
    }

    // Once a job, when the data folder's disk has less room left than the
    // admin's margin (or 1 GiB without one): a full disk cuts dumps short.
    void noteLowDisk() {
        if (lowDiskSaid) return;
        std::uint32_t marginMB = context.settings.limits.dataDiskMarginMB;
        std::int64_t margin = std::int64_t(marginMB > 0 ? marginMB : lowDiskWarningMB) << 20;
        std::int64_t free = dataDiskFreeBytes(context.settings.dataDirectory);
        if (free < 0 || free >= margin) return;
        lowDiskSaid = true;
        context.window->log(u"WARNING: the data folder's disk is nearly full: " + diskMegabytes(free) +
                            u" free, less than " + diskMegabytes(margin));
    }

    // Line breaks of a box's text, as one log line.
    static String oneLine(const std::u16string& text) {
        std::u16string line;
        for (char16_t c : text) {
            if (c == u'\r') continue;
            line += c == u'\n' ? u' ' : c;
        }
        return String(line.c_str());
    }

    struct ShownSince {
        Port::ShownWindow window;
        long long since;
    };

    static constexpr std::uint32_t lowDiskWarningMB = 1024;

    bool end(RendererEnding cause, const String& why) {
        // The status answer has room for the cause and its figures, not for
        // what the node does about it.
        String said = why;
        const std::u16string_view text(said.wideCString(), std::size_t(said.length()));
        const std::size_t action = text.rfind(u"; ending ");
        limitLine =
            String(endingName(cause)) + u": " + (action == text.npos ? said : said.substring(0, std::int32_t(action)));
        context.window->log(why);
        int count = renderer->endTree();
        context.window->log(u"Ended " + Str::toString(count) + (count == 1 ? u" process" : u" processes") +
                            u" of 3dsmax's process tree");
        ending = cause;
        return false;
    }

    // The watch's turn (at most every useSampleMilliseconds): looks at the
    // tree's dialog boxes and the disk, reads what the tree uses, and ends it
    // at the dialog, idle or memory limit. True when it may go on.
    bool watchUse(long long now) {
        if (now - sampledAt < useSampleMilliseconds) return true;
        sampledAt = now;
        if (!lookAtRenderer(now)) return false;
        const RendererLimits& limits = context.settings.limits;
        Port::ChildProcess::Usage use = renderer->usage();
        if (!use.known) return true;
        publishUse(use);
        const std::uint64_t cap = std::uint64_t(limits.memoryMB) << 20;
        if (limits.memoryMB > 0 && (use.memoryLimitReached || use.peakMemoryBytes >= cap))
            return end(RendererEnding::memory, u"Memory limit reached: 3dsmax's process tree used up to " +
                                                   megabytes(use.peakMemoryBytes) + u" MB, the memory limit is " +
                                                   Str::toString(int(limits.memoryMB)) +
                                                   u" MB; ending its process tree");
        // A dump, or more than a trickle of CPU since the quiet began, is
        // progress. Seconds that left with a reaped process start it anew.
        std::uint64_t dumps = context.dumps.sentInAll();
        double quietSeconds = double(now - idleSince) / 1000;
        double used = use.cpuSeconds - idleCpu;
        if (dumps != dumpsSeen || used < 0 || used > std::max(quietSeconds, 1.0) * idleCpuPercent / 100) {
            dumpsSeen = dumps;
            idleSince = now;
            idleCpu = use.cpuSeconds;
            publishUse(use);
            return true;
        }
        if (limits.idleSeconds > 0 && overAt < 0 && now - idleSince >= limits.idleSeconds * 1000LL)
            return end(RendererEnding::idle, u"Renderer stuck: 3dsmax's process tree used " + oneDecimal(used) +
                                                 u" s of CPU in " + wholeSeconds(now - idleSince) + u" seconds (" +
                                                 oneDecimal(used * 100 / quietSeconds) +
                                                 u" % of one core) and sent no image; ending its process tree");
        return true;
    }

    // What the status answer shows of the tree; its last sign of life is
    // the end of the last quiet.
    void publishUse(const Port::ChildProcess::Usage& use) {
        if (context.state == nullptr) return;
        context.state->setRendererUsage(use.cpuSeconds, double(use.memoryBytes) / (1 << 20), idleSince);
    }

    // The first "still waiting" line comes after this long, then one per
    // period: enough for an admin to see what a machine waits for, without
    // filling the log over a night.
    static constexpr int stillWaitingMinutes = 5;
    // Reading the tree's use walks the process table: not on every turn.
    static constexpr int useSampleMilliseconds = 500;

    const RenderJobContext& context;
    Port::ChildProcess* renderer;
    long long startedAt;
    long long overAt = -1;
    long long onlineAt = -1;
    bool online = false;
    RendererEnding ending = RendererEnding::exited;
    int linesWritten = 0;
    std::u16string_view countedWait;  // the wait linesWritten counts the lines of
    String limitLine;
    // The quiet the idle limit measures: since when, the CPU seconds then,
    // and the dumps sent by then.
    long long idleSince;
    double idleCpu = 0;
    std::uint64_t dumpsSeen;
    long long sampledAt = -useSampleMilliseconds;
    std::vector<ShownSince> dialogs;
    bool dialogShown = false;
    std::uintptr_t shownId = 0;
    bool lowDiskSaid = false;
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
        if (context.host.acceptHost(context.settings.dataDirectory, renderer)) break;
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
        // A crash or 3ds Max's error code is named: the number alone tells
        // an admin little.
        std::string meaning = rendererExitMeaning(renderer->exitStatus());
        window->log(u"3dsmax exited with status " + Str::toString(renderer->exitStatus()) +
                    (meaning.empty() ? String() : u" (" + String(meaning.c_str()) + u")"));
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
    RendererEnding ending = RendererEnding::exited;
    {
        RendererWatch watch(context, renderer.get());
        PartialSignal fromMaster;
        int pendingEnds = 0;
        wait = waitForHost(context, master, renderer.get(), watch, fromMaster, pendingEnds);
        if (wait == HostWait::online) relayed = relay(context, master, watch, fromMaster, pendingEnds);
        cutDumps = finishJob(context, master, renderer.get(), &watch, relayed);
        limitLine = watch.limitReached();
        ending = watch.endedBy();
    }
    // The first that applies names the job's end; a renderer that ended on
    // its own by a crash says so too.
    int exitStatus = renderer->exitStatus();
    std::string meaning = ending == RendererEnding::exited ? rendererExitMeaning(exitStatus) : std::string();
    // 3ds Max's own error code fails the job, whatever dumps came.
    bool errorCode = ending == RendererEnding::exited && isRendererErrorCode(exitStatus);
    String crashed = meaning.empty() ? String()
                                     : (errorCode ? u"3dsmax returned an error code (" : u"3dsmax crashed (") +
                                           String(meaning.c_str()) + u")";
    auto orCrash = [&crashed](const char16_t* why) {
        return crashed.isEmpty() ? String(why) : *why == 0 ? crashed : String(why) + u"; " + crashed;
    };
    if (context.cut.isCut())
        publishEnd(context, JobOutcome::cut, u"a stop cut it short", exitStatus);
    else if (!limitLine.isEmpty())
        publishEnd(context, JobOutcome::limit, limitLine.wideCString(), exitStatus);
    else if (wait == HostWait::rendererExited)
        publishEnd(context, JobOutcome::failed, orCrash(u"3dsmax exited before it connected").wideCString(),
                   exitStatus);
    else if (cutDumps > 0)
        publishEnd(context, JobOutcome::failed, orCrash(u"dumps were cut short and not sent").wideCString(),
                   exitStatus);
    else if (relayed == 0)
        publishEnd(context, JobOutcome::failed, orCrash(u"no image was sent to the master").wideCString(), exitStatus);
    else if (errorCode)
        publishEnd(context, JobOutcome::failed, crashed.wideCString(), exitStatus);
    else
        publishEnd(context, JobOutcome::served, orCrash(u"").wideCString(), exitStatus);
    // The protocol has no word for a failed job: a dump announced and never
    // sent is one that no master takes for a finished job.
    if (context.cut.isCut()) {
        writeSignal(master, fileDumpSignal, cutSignalTimeoutSeconds);
        context.window->log(u"The job was cut short by the stop; the master was told");
    } else if (ending != RendererEnding::exited) {
        // Whatever came before, the frame was not finished: the master must
        // not take it for a finished one.
        writeSignal(master, fileDumpSignal, cutSignalTimeoutSeconds);
        context.window->log(u"The job was cut short by the node (" + String(endingName(ending)) +
                            u"); the master was told");
    } else if (cutDumps > 0) {
        writeSignal(master, fileDumpSignal, cutSignalTimeoutSeconds);
    }
}

const char16_t* endingName(RendererEnding ending) {
    switch (ending) {
    case RendererEnding::exited: return u"exited";
    case RendererEnding::connect: return u"connect";
    case RendererEnding::render: return u"render";
    case RendererEnding::exit: return u"exit";
    case RendererEnding::dialog: return u"dialog";
    case RendererEnding::idle: return u"idle";
    case RendererEnding::memory: return u"memory limit";
    case RendererEnding::stop: return u"stop";
    }
    return u"exited";
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
