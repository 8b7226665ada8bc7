#include "RenderSession.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "DumpFiles.h"
#include "node/ExrLayout.h"
#include "Json.h"
#include "LinkValues.h"
#include "MasterExit.h"
#include "Progress.h"
#include "Reporter.h"
#include "StatusQuery.h"
#include "StreamIo.h"
#include "port/console.h"
#include "port/socket.h"

namespace Varnix::Peer {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int connectSeconds = 10;
constexpr int greetingNoteSeconds = 3;  // when to say that the node may be busy
constexpr int messageSeconds = 30;      // greeting and parameters; the node allows 10 s for the whole parameter text
constexpr int scenePieceSeconds = 45;   // the node's limit per piece of the scene
constexpr int dumpPieceSeconds = 60;    // the node's limit per piece of a dump
constexpr int pollMilliseconds = 200;   // how often time limits, END triggers and Ctrl-C are checked

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string oneDecimal(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

std::string plural(int count, const std::string& word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

struct SavedDump {
    int index = 0;
    std::string path;
    int64_t size = 0;
    double seconds = 0;  // the transfer
    double at = 0;       // since the scene was sent
    bool exr = false;
};

class MasterSession {
public:
    explicit MasterSession(const RenderOptions& options)
        : options(options),
          report(options.json),
          terminal(!options.json && Port::isTerminal(Port::StandardStream::Output)) {}

    int run();

private:
    int fail(int status, const std::string& message) { return report.fail(status, message); }
    void say(const std::string& message) { report.say(message); }

    int openScene();
    int prepareFolder();
    int connect();
    int awaitGreeting();
    int sendJob();
    int render();
    int receiveDump();
    int jobEnded(bool reset);
    void sendEnd(const std::string& reason);
    int refused(const std::string& how);
    StatusJson nodeStatus();
    static bool busyWithAnother(const StatusJson& status);
    static std::string sceneNotStored(const StatusJson& status);
    void emitReport(int status);

    const RenderOptions& options;
    Reporter report;
    const bool terminal;
    std::string where;  // "host (a.b.c.d:19668)" for messages
    std::string address;
    std::ifstream scene;
    int64_t sceneSize = 0;
    double uploadSeconds = -1;
    Clock::time_point renderStart;
    std::unique_ptr<Port::StreamSocket> link;
    std::vector<char> piece = std::vector<char>(filePieceBytes);
    std::vector<std::string> replaced;  // earlier dumps of the frame, removed before the first new one (--overwrite)
    std::vector<SavedDump> saved;
    bool endSent = false;
};

int MasterSession::openScene() {
    scene.open(std::filesystem::u8path(options.scene), std::ios::binary | std::ios::ate);
    if (!scene) return fail(masterLocalFile, "cannot open the scene file '" + options.scene + "'");
    const auto end = scene.tellg();
    if (end < 0) return fail(masterLocalFile, "cannot read the scene file '" + options.scene + "'");
    sceneSize = static_cast<int64_t>(end);
    scene.seekg(0);
    if (sceneSize > maxFrameFileBytes)
        return fail(masterLocalFile, "the scene file '" + options.scene + "' has " + groupedCount(sceneSize) +
                                         " bytes; a node takes at most " + groupedCount(maxFrameFileBytes));
    return masterOk;
}

int MasterSession::prepareFolder() {
    const std::filesystem::path folder = std::filesystem::u8path(options.outDirectory);
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (!std::filesystem::is_directory(folder, error))
        return fail(masterLocalFile, "cannot create the output directory '" + options.outDirectory + "'");
    // Find out now, not after the node has rendered, that no dump could be saved.
    const std::filesystem::path probe = folder / ".drmaster-write-check";
    if (!std::ofstream(probe, std::ios::binary | std::ios::trunc))
        return fail(masterLocalFile, "cannot write into the output directory '" + options.outDirectory + "'");
    std::filesystem::remove(probe, error);
    const std::vector<std::string> earlier = earlierDumps(folder, options.frame);
    if (!earlier.empty() && !options.overwrite)
        return fail(masterLocalFile, "'" + options.outDirectory + "' already holds " +
                                         plural(static_cast<int>(earlier.size()), "dump") + " of frame " +
                                         std::to_string(options.frame) + " (" + earlier.front() +
                                         (earlier.size() > 1 ? " ... " + earlier.back() : std::string()) +
                                         "): choose another --out, or add --overwrite to replace them");
    replaced = earlier;
    say("dumps go to " + options.outDirectory + " as " + dumpFileName(options.frame, 1) + ", " +
        dumpFileName(options.frame, 2) + ", ..." +
        (replaced.empty() ? std::string()
                          : " (replacing " + plural(static_cast<int>(replaced.size()), "earlier dump") +
                                " of this frame when the first new one arrives)"));
    return masterOk;
}

int MasterSession::connect() {
    Port::IPv4Address resolved;
    if (!Port::IPv4Address::resolve(options.node, masterPort, resolved))
        return fail(masterUnknownHost, "cannot resolve host '" + options.node + "'");
    address = resolved.dotted() + ":" + std::to_string(masterPort);
    where = options.node + " (" + address + ")";
    auto connected = Port::StreamSocket::connect(resolved, connectSeconds);
    if (!connected.isOk())
        return fail(masterUnreachable, "node " + where + " unreachable: " + connected.status().text() +
                                           " (is the node running there, and is TCP port 19668 open?)");
    link = connected.take();
    say("connected to " + where);
    return masterOk;
}

int MasterSession::awaitGreeting() {
    const auto start = Clock::now();
    unsigned char bytes[4];
    uint32_t have = 0;
    bool notedBusy = false;
    while (have < 4) {
        if (Port::interruptCount() > 0)
            return fail(masterInterrupted, "interrupted while waiting for the greeting of " + where);
        const double waited = secondsSince(start);
        if (options.waitSeconds > 0 && waited >= options.waitSeconds)
            return fail(masterNoGreeting, "no greeting from " + where + " within " +
                                              std::to_string(options.waitSeconds) +
                                              " s: the node is busy with another job, or it is not a render node "
                                              "(--wait sets the time)");
        if (!notedBusy && waited >= greetingNoteSeconds) {
            say("waiting for the node to greet; it may be busy with another job");
            notedBusy = true;
        }
        // Short polls, so that the time limit, the note and Ctrl-C are seen promptly.
        if (!link->WaitForRead(pollMilliseconds)) continue;
        uint32_t got = 0;
        const IoResult result = readFully(*link, bytes + have, 4 - have, 0, got);
        have += got;
        if (got == 0 && (result == IoResult::Closed || result == IoResult::Failed))
            return fail(masterNotANode, where + " closed the connection without a greeting: not a render node");
    }
    if (decodeSignal(bytes) != nodeGreeting) return fail(masterNotANode, where + " did not greet as a render node");
    return masterOk;
}

// The node's status answer, asked when it closes before any dump or stops
// reading the scene; null when the node does not answer (its status answer
// may be off, or not for this address).
StatusJson MasterSession::nodeStatus() {
    std::vector<std::string> unresolved;
    std::vector<AskTarget> targets = askTargets({options.node}, {}, discoveryPort, unresolved);
    StatusRound round = askStatus(targets, 2);
    return round.nodes.empty() ? StatusJson() : round.nodes.front().status;
}

// A job past its scene is another master's, since this one's scene is not in.
bool MasterSession::busyWithAnother(const StatusJson& status) {
    const StatusJson* state = jsonMember(status, "state");
    if (state == nullptr || !state->is_string()) return false;
    const std::string stage = state->get<std::string>();
    return stage == "waiting_for_3dsmax" || stage == "rendering" || stage == "finishing";
}

// The cause of the node's last job when its disk could not take the scene
// (too little room, or the system refused the file); empty otherwise.
std::string MasterSession::sceneNotStored(const StatusJson& status) {
    const StatusJson* last = jsonMember(status, "last_job");
    const StatusJson* why = last != nullptr ? jsonMember(*last, "why") : nullptr;
    if (why == nullptr || !why->is_string()) return {};
    const std::string text = why->get<std::string>();
    for (const char* disk : {"the data folder's disk has no room for the scene", "the scene could not be stored"})
        if (text.rfind(disk, 0) == 0) return text;
    return {};
}

int MasterSession::refused(const std::string& how) {
    const StatusJson status = nodeStatus();
    if (busyWithAnother(status))
        return fail(masterNoGreeting, "the node " + how +
                                          ": it is busy with another master's job; try again when "
                                          "it is idle, or choose another node");
    const std::string disk = sceneNotStored(status);
    if (!disk.empty())
        return fail(masterRefused, "the node " + how + ": it refused the job because " + disk +
                                       "; see drData/DrLog.txt on " + options.node);
    // Past 2016 a node takes only the releases its admin turned on.
    const std::string newest = options.version <= defaultNewestRelease ? std::to_string(defaultNewestRelease)
                                                                       : "the newest its newestMaxRelease allows";
    return fail(masterRefused, "the node " + how + ": it refused the job, most likely because no 3ds Max from " +
                                   std::to_string(options.version) + " to " + newest +
                                   " is configured there (or it could not store the scene); see drData/DrLog.txt "
                                   "on " +
                                   options.node);
}

// The node answers nothing between the parameters and the scene, so the
// scene follows at once. A node that refuses the version closes without
// reading it; while the upload runs, that shows as a failed write.
int MasterSession::sendJob() {
    const auto start = Clock::now();
    const std::string parameters = std::to_string(options.version) + " " + std::to_string(options.frame);
    // Greeting, parameters and the scene's size in one write: if the node
    // closes after the parameters, the size is still unread on its side.
    std::vector<unsigned char> header(4);
    encodeSignal(masterGreeting, header.data());
    header.insert(header.end(), parameters.begin(), parameters.end());
    header.push_back(0);
    unsigned char size[4];
    encodeSignal(static_cast<uint32_t>(sceneSize), size);
    header.insert(header.end(), size, size + 4);
    IoResult result = writeFully(*link, header.data(), static_cast<uint32_t>(header.size()), messageSeconds);
    if (result == IoResult::Failed) return refused("closed the connection before taking the job parameters");
    if (result != IoResult::Done)
        return fail(masterTransferCut, "the connection to " + where + " stalled while sending the job");
    say("job sent: 3ds Max " + std::to_string(options.version) + ", frame " + std::to_string(options.frame) +
        "; sending the scene " + options.scene + " (" + groupedCount(sceneSize) + " bytes)");

    Progress progress(stdout, terminal, "scene", static_cast<uint64_t>(sceneSize));
    int64_t sent = 0;
    while (sent < sceneSize) {
        if (Port::interruptCount() > 0) {
            progress.clear();
            return fail(masterInterrupted, "interrupted during the scene upload");
        }
        uint32_t count = static_cast<uint32_t>(std::min<int64_t>(sceneSize - sent, filePieceBytes));
        const uint32_t pieceBytes = count;
        scene.read(piece.data(), count);
        if (static_cast<uint32_t>(scene.gcount()) != count) {
            // The frame is announced and cannot be completed: the node's copy is cut short.
            progress.clear();
            return fail(masterLocalFile, "the scene file '" + options.scene + "' could not be read to its end");
        }
        result = writeFully(*link, piece.data(), count, scenePieceSeconds);
        // A master greeted while another's job began is served after it: its
        // scene waits, unread, for as long as that job runs.
        for (bool noted = false; result == IoResult::TimedOut && busyWithAnother(nodeStatus()); noted = true) {
            if (!noted) say("the node is busy with another master's job; the scene waits for its turn");
            const uint32_t left = count - link->LastWriteCount();
            std::memmove(piece.data(), piece.data() + (count - left), left);
            count = left;
            result = writeFully(*link, piece.data(), count, scenePieceSeconds);
        }
        if (result != IoResult::Done) {
            progress.clear();
            if (result == IoResult::Failed)
                return refused("closed the connection after " + groupedCount(sent) + " of " + groupedCount(sceneSize) +
                               " scene bytes");
            return fail(masterTransferCut, "scene upload to " + where + " stalled after " + groupedCount(sent) +
                                               " of " + groupedCount(sceneSize) + " bytes");
        }
        sent += pieceBytes;
        progress.update(static_cast<uint64_t>(sent));
    }
    progress.clear();
    uploadSeconds = secondsSince(start);
    say("scene sent in " + oneDecimal(uploadSeconds) + " s; rendering");
    return masterOk;
}

void MasterSession::sendEnd(const std::string& reason) {
    if (endSent) return;
    endSent = true;
    say("sending END (" + reason + ")");
    // A failed write shows as the node's close in the render loop.
    writeSignal(*link, endSignal, messageSeconds);
}

int MasterSession::receiveDump() {
    const auto start = Clock::now();
    int32_t size = 0;
    for (;;) {
        unsigned char bytes[4];
        uint32_t got = 0;
        const IoResult result = readFully(*link, bytes, 4, dumpPieceSeconds, got);
        // How the node tells that it cut the job (a stop, a limit on its
        // renderer): a dump announced, then the close.
        if (got == 0 && result == IoResult::Closed)
            return fail(masterTransferCut, where +
                                               " cut the job short: it announced a dump and closed the connection "
                                               "(a stop, a limit on its renderer, or dumps cut short on the "
                                               "node's disk; see drData/DrLog.txt on " +
                                               options.node + "); no file was kept");
        if (result != IoResult::Done)
            return fail(masterTransferCut, "dump from " + where + " cut before its size: connection " +
                                               describe(result) + "; no file was kept");
        const uint32_t value = decodeSignal(bytes);
        // A node that could not read a dump's size sends the signal again for
        // its next try, without a frame in between.
        if (value == fileDumpSignal) {
            say("the node gave up a dump before sending it");
            continue;
        }
        size = static_cast<int32_t>(value);
        break;
    }
    if (size < 0) return fail(masterNotANode, where + " announced a dump of negative size " + std::to_string(size));

    const int number = static_cast<int>(saved.size()) + 1;
    const std::string name = dumpFileName(options.frame, number);
    const std::filesystem::path folder = std::filesystem::u8path(options.outDirectory);
    const std::filesystem::path finalPath = folder / name;
    const std::filesystem::path partPath = folder / (name + ".part");
    std::ofstream out(partPath, std::ios::binary | std::ios::trunc);
    if (!out) return fail(masterLocalFile, "cannot write the dump file '" + partPath.u8string() + "'");

    Progress progress(stdout, terminal, name, static_cast<uint64_t>(size));
    int64_t received = 0;
    bool exr = false;
    while (received < size) {
        const uint32_t count = static_cast<uint32_t>(std::min<int64_t>(size - received, filePieceBytes));
        uint32_t got = 0;
        const IoResult result = readFully(*link, piece.data(), count, dumpPieceSeconds, got);
        if (received == 0) exr = startsLikeExr(piece.data(), got);
        out.write(piece.data(), got);
        received += got;
        if (result != IoResult::Done) {
            // A short frame is never a dump: its file goes.
            progress.clear();
            out.close();
            std::error_code ignored;
            std::filesystem::remove(partPath, ignored);
            return fail(masterTransferCut, "dump " + std::to_string(number) + " from " + where + " cut after " +
                                               groupedCount(received) + " of " + groupedCount(size) +
                                               " bytes: connection " + describe(result) +
                                               "; the partial file was removed");
        }
        progress.update(static_cast<uint64_t>(received));
    }
    progress.clear();
    out.close();
    if (out.fail()) return fail(masterLocalFile, "cannot write the dump file '" + partPath.u8string() + "'");
    if (exr || size < 8) {
        // The frame came whole, but the file it carried may not have been:
        // a renderer cut short on a full disk (too short for an EXR at all).
        const ExrLayout layout = exrLayoutOf(partPath);
        if (layout.verdict == ExrLayout::Verdict::cut) {
            std::error_code ignored;
            std::filesystem::remove(partPath, ignored);
            return fail(masterDumpNotWhole, "dump " + std::to_string(number) + " from " + where + " (" +
                                                groupedCount(size) + " bytes) is not a whole EXR file: it lacks " +
                                                layout.lacks + "; the file was removed");
        }
    }
    if (!replaced.empty()) {
        for (const std::string& old : replaced) {
            std::error_code ignored;
            std::filesystem::remove(folder / old, ignored);
        }
        say("removed " + plural(static_cast<int>(replaced.size()), "earlier dump") + " of frame " +
            std::to_string(options.frame) + " from " + options.outDirectory + " (--overwrite)");
        replaced.clear();
    }
    std::error_code error;
    std::filesystem::rename(partPath, finalPath, error);
    if (error) return fail(masterLocalFile, "cannot write the dump file '" + finalPath.u8string() + "'");
    SavedDump dump;
    dump.index = number;
    dump.path = finalPath.u8string();
    dump.size = size;
    dump.seconds = secondsSince(start);
    dump.at = std::chrono::duration<double>(start - renderStart).count();
    dump.exr = exr;
    saved.push_back(dump);
    say("dump " + std::to_string(number) + " saved: " + dump.path + " (" + groupedCount(size) + " bytes, " +
        oneDecimal(dump.seconds) + " s)");
    if (!exr)
        report.warn("dump " + std::to_string(number) + " (" + dump.path + ", " + groupedCount(size) +
                    " bytes) is not an EXR file: it does not start with the EXR magic number 76 2f 31 01; kept "
                    "as it came");
    return masterOk;
}

// The node closed at a message boundary: what did the job deliver?
int MasterSession::jobEnded(bool reset) {
    const int count = static_cast<int>(saved.size());
    // A reset means bytes we sent were thrown away unread; before any dump
    // and without END, those can only be the scene.
    if (reset && count == 0 && !endSent) return refused("dropped the connection without reading the whole scene");
    int64_t bytes = 0;
    for (const SavedDump& dump : saved) bytes += dump.size;
    say("the node closed the connection: job finished, " + plural(count, "dump") + " saved in " + options.outDirectory +
        " (" + groupedCount(static_cast<uint64_t>(bytes)) + " bytes in all)");
    if (count == 0)
        return fail(masterNoImage, "the node ended the job without sending an image: version refused, 3ds Max did "
                                   "not answer or failed, or the scene was rejected; see drData/DrLog.txt on " +
                                       options.node);
    if (options.expectDumps >= 0 && count != options.expectDumps)
        return fail(masterDumpCount, "the node sent " + plural(count, "dump") + ", not the " +
                                         std::to_string(options.expectDumps) +
                                         " that --expect-dumps asked for (did 3ds Max stop early? see "
                                         "drData/DrLog.txt and drData/MaxLog.txt on " +
                                         options.node + ")");
    return masterOk;
}

int MasterSession::render() {
    renderStart = Clock::now();
    if (options.endAfterDumps == 0) sendEnd("after 0 dumps");
    for (;;) {
        const int interrupts = Port::interruptCount();
        if (interrupts >= 2) return fail(masterInterrupted, "interrupted again; not waiting for the node to finish");
        if (interrupts == 1) sendEnd("Ctrl-C; press it again to quit at once");
        if (options.endAfterSeconds >= 0 && secondsSince(renderStart) >= options.endAfterSeconds)
            sendEnd("after " + oneDecimal(options.endAfterSeconds) + " s");
        if (!link->WaitForRead(pollMilliseconds)) continue;

        unsigned char bytes[4];
        uint32_t got = 0;
        const IoResult result = readFully(*link, bytes, 4, dumpPieceSeconds, got);
        if (got == 0 && (result == IoResult::Closed || result == IoResult::Failed))
            return jobEnded(result == IoResult::Failed);  // The node ends every job by closing.
        if (result != IoResult::Done)
            return fail(masterTransferCut, "connection to " + where + " " + describe(result) + " inside a signal");
        if (decodeSignal(bytes) != fileDumpSignal)
            return fail(masterNotANode, where + " sent an unknown signal while rendering");
        const int status = receiveDump();
        if (status != masterOk) return status;
        if (options.endAfterDumps > 0 && static_cast<int>(saved.size()) >= options.endAfterDumps)
            sendEnd("after " + plural(static_cast<int>(saved.size()), "dump"));
    }
}

void MasterSession::emitReport(int status) {
    if (!report.json()) return;
    std::vector<std::string> dumps;
    for (const SavedDump& dump : saved)
        dumps.push_back(JsonObject()
                            .add("index", jsonNumber(static_cast<int64_t>(dump.index)))
                            .add("path", jsonString(dump.path))
                            .add("size", jsonNumber(dump.size))
                            .add("seconds", jsonNumber(dump.seconds))
                            .add("at", jsonNumber(dump.at))
                            .add("exr", jsonBool(dump.exr))
                            .text());
    report.emit(JsonObject()
                    .add("command", jsonString("render"))
                    .add("node", jsonString(options.node))
                    .add("address", address.empty() ? "null" : jsonString(address))
                    .add("version", jsonNumber(static_cast<int64_t>(options.version)))
                    .add("frame", jsonNumber(static_cast<int64_t>(options.frame)))
                    .add("scene", JsonObject()
                                      .add("path", jsonString(options.scene))
                                      .add("size", jsonNumber(sceneSize))
                                      .add("upload_seconds", uploadSeconds < 0 ? "null" : jsonNumber(uploadSeconds))
                                      .text())
                    .add("folder", jsonString(options.outDirectory))
                    .add("dumps", jsonArray(dumps))
                    .add("end_sent", jsonBool(endSent))
                    .add("outcome", jsonString(outcomeName(status)))
                    .add("status", jsonNumber(static_cast<int64_t>(status)))
                    .add("message", report.message().empty() ? "null" : jsonString(report.message()))
                    .text());
}

int MasterSession::run() {
    int status = openScene();
    if (status == masterOk) status = prepareFolder();
    if (status == masterOk) status = connect();
    if (status == masterOk) status = awaitGreeting();
    if (status == masterOk) status = sendJob();
    if (status == masterOk) status = render();
    if (link) link->Destroy();
    emitReport(status);
    return status;
}

}  // namespace

int runRenderSession(const RenderOptions& options) {
    MasterSession session(options);
    return session.run();
}

}  // namespace Varnix::Peer
