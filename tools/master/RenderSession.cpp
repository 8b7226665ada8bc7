#include "RenderSession.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "LinkValues.h"
#include "MasterExit.h"
#include "Progress.h"
#include "StreamIo.h"
#include "port/console.h"
#include "port/socket.h"

namespace Varnix::Peer {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kConnectSeconds = 10;
constexpr int kGreetingNoteSeconds = 3;   // when to say that the node may be busy
constexpr int kMessageSeconds = 30;       // greeting and parameters; the node allows 30 s per byte
constexpr int kVerdictMilliseconds = 1000;  // a refused version shows as a close within this time
constexpr int kScenePieceSeconds = 45;    // the node's limit per piece of the scene
constexpr int kDumpPieceSeconds = 60;     // the node's limit per piece of a dump
constexpr int kPollMilliseconds = 200;    // how often time limits, END triggers and Ctrl-C are checked

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class MasterSession {
public:
    explicit MasterSession(const RenderOptions& options)
        : options(options), terminal(Port::isTerminal(Port::StandardStream::Output)) {}

    int run();

private:
    int fail(int status, const std::string& message) {
        std::fflush(stdout);
        std::fprintf(stderr, "drmaster: error: %s\n", message.c_str());
        return status;
    }
    void say(const std::string& message) {
        std::printf("drmaster: %s\n", message.c_str());
        std::fflush(stdout);
    }

    int openScene();
    int connect();
    int awaitGreeting();
    int sendJob();
    int sendScene();
    int render();
    int receiveDump(bool& nodeClosed);
    void sendEnd(const std::string& reason);

    const RenderOptions& options;
    const bool terminal;
    std::string where;  // "host (a.b.c.d:19668)" for messages
    std::ifstream scene;
    int64_t sceneSize = 0;
    std::unique_ptr<Port::StreamSocket> link;
    std::vector<char> piece = std::vector<char>(kFramePiece);
    int dumpsSaved = 0;
    bool endSent = false;
};

int MasterSession::openScene() {
    scene.open(options.scene, std::ios::binary | std::ios::ate);
    if (!scene)
        return fail(kMasterLocalFile, "cannot open the scene file '" + options.scene + "'");
    const auto end = scene.tellg();
    if (end < 0)
        return fail(kMasterLocalFile, "cannot read the scene file '" + options.scene + "'");
    sceneSize = static_cast<int64_t>(end);
    scene.seekg(0);
    if (sceneSize > kMaxFrameFileSize)
        return fail(kMasterLocalFile, "the scene file '" + options.scene + "' has " + groupedCount(sceneSize) +
                                          " bytes; a node takes at most " + groupedCount(kMaxFrameFileSize));
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(options.outDirectory), error);
    if (!std::filesystem::is_directory(std::filesystem::path(options.outDirectory), error))
        return fail(kMasterLocalFile, "cannot create the output directory '" + options.outDirectory + "'");
    return kMasterOk;
}

int MasterSession::connect() {
    Port::IPv4Address address;
    if (!Port::IPv4Address::resolve(options.node, kMasterPort, address))
        return fail(kMasterUnknownHost, "cannot resolve host '" + options.node + "'");
    where = options.node + " (" + address.dotted() + ":" + std::to_string(kMasterPort) + ")";
    std::string why;
    link = Port::StreamSocket::connect(address, kConnectSeconds, &why);
    if (!link)
        return fail(kMasterUnreachable, "node " + where + " unreachable: " + why);
    say("connected to " + where);
    return kMasterOk;
}

int MasterSession::awaitGreeting() {
    const auto start = Clock::now();
    unsigned char bytes[4];
    uint32_t have = 0;
    bool notedBusy = false;
    while (have < 4) {
        if (Port::interruptCount() > 0)
            return fail(kMasterInterrupted, "interrupted while waiting for the greeting of " + where);
        const double waited = secondsSince(start);
        if (options.waitSeconds > 0 && waited >= options.waitSeconds)
            return fail(kMasterNoGreeting, "no greeting from " + where + " within " +
                                               std::to_string(options.waitSeconds) +
                                               " s: the node is busy with another job, or it is not a render node "
                                               "(--wait sets the time)");
        if (!notedBusy && waited >= kGreetingNoteSeconds) {
            say("waiting for the node to greet; it may be busy with another job");
            notedBusy = true;
        }
        // Short polls, so that the time limit, the note and Ctrl-C are seen promptly.
        if (!link->WaitForRead(kPollMilliseconds))
            continue;
        uint32_t got = 0;
        const IoResult result = readFully(*link, bytes + have, 4 - have, 0, got);
        have += got;
        if (got == 0 && (result == IoResult::Closed || result == IoResult::Failed))
            return fail(kMasterNotANode, where + " closed the connection without a greeting: not a render node");
    }
    if (getLE32(bytes) != kNodeGreeting)
        return fail(kMasterNotANode, where + " did not greet as a render node");
    return kMasterOk;
}

int MasterSession::sendJob() {
    const std::string parameters = std::to_string(options.version) + " " + std::to_string(options.frame);
    if (writeSignal(*link, kMasterGreeting, kMessageSeconds) != IoResult::Done ||
        writeFully(*link, parameters.c_str(), static_cast<uint32_t>(parameters.size() + 1), kMessageSeconds) !=
            IoResult::Done)
        return fail(kMasterTransferCut, "the connection to " + where + " broke while sending the job");
    say("job sent: 3ds Max " + std::to_string(options.version) + ", frame " + std::to_string(options.frame));

    // The node never answers; it refuses a version by closing at once.
    if (link->WaitForRead(kVerdictMilliseconds)) {
        if (link->IsClosed() || !link->IsOk())
            return fail(kMasterRefused, "the node closed the connection after the job parameters: it cannot "
                                        "render 3ds Max " + std::to_string(options.version) + " scenes");
        return fail(kMasterNotANode, where + " sent unexpected data before the scene");
    }
    return kMasterOk;
}

int MasterSession::sendScene() {
    const auto start = Clock::now();
    say("sending the scene " + options.scene + " (" + groupedCount(sceneSize) + " bytes)");
    unsigned char size[4];
    putLE32(static_cast<uint32_t>(sceneSize), size);
    const auto cut = [&](IoResult result) {
        return fail(kMasterTransferCut, "scene upload to " + where + " cut: connection " + describe(result));
    };
    IoResult result = writeFully(*link, size, 4, kScenePieceSeconds);
    if (result != IoResult::Done)
        return cut(result);
    Progress progress(stdout, terminal, "scene", static_cast<uint64_t>(sceneSize));
    int64_t sent = 0;
    while (sent < sceneSize) {
        if (Port::interruptCount() > 0) {
            progress.clear();
            return fail(kMasterInterrupted, "interrupted during the scene upload");
        }
        const uint32_t count = static_cast<uint32_t>(std::min<int64_t>(sceneSize - sent, kFramePiece));
        scene.read(piece.data(), count);
        if (static_cast<uint32_t>(scene.gcount()) != count) {
            // The frame is announced and cannot be completed: the node's copy is cut short.
            progress.clear();
            return fail(kMasterLocalFile, "the scene file '" + options.scene + "' could not be read to its end");
        }
        result = writeFully(*link, piece.data(), count, kScenePieceSeconds);
        if (result != IoResult::Done) {
            progress.clear();
            return cut(result);
        }
        sent += count;
        progress.update(static_cast<uint64_t>(sent));
    }
    progress.clear();
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", secondsSince(start));
    say(std::string("scene sent in ") + seconds + " s; rendering");
    return kMasterOk;
}

void MasterSession::sendEnd(const std::string& reason) {
    if (endSent)
        return;
    endSent = true;
    say("sending END (" + reason + ")");
    // A failed write shows as the node's close in the render loop.
    writeSignal(*link, kEndSignal, kMessageSeconds);
}

int MasterSession::receiveDump(bool& nodeClosed) {
    const auto start = Clock::now();
    int32_t size = 0;
    for (;;) {
        unsigned char bytes[4];
        uint32_t got = 0;
        const IoResult result = readFully(*link, bytes, 4, kDumpPieceSeconds, got);
        if (result != IoResult::Done)
            return fail(kMasterTransferCut, "dump from " + where + " cut before its size: connection " +
                                                describe(result));
        const uint32_t value = getLE32(bytes);
        // A node that could not read a dump's size sends the signal again for
        // its next try, without a frame in between.
        if (value == kFileDumpSignal) {
            say("the node gave up a dump before sending it");
            continue;
        }
        size = static_cast<int32_t>(value);
        break;
    }
    if (size < 0)
        return fail(kMasterNotANode, where + " announced a dump of negative size " + std::to_string(size));

    const int number = dumpsSaved + 1;
    char name[64];
    std::snprintf(name, sizeof name, "frame%d_dump%03d.exr", options.frame, number);
    const std::filesystem::path finalPath = std::filesystem::path(options.outDirectory) / name;
    const std::filesystem::path partPath = std::filesystem::path(options.outDirectory) / (std::string(name) + ".part");
    std::ofstream out(partPath, std::ios::binary | std::ios::trunc);
    if (!out)
        return fail(kMasterLocalFile, "cannot write the dump file '" + partPath.string() + "'");

    Progress progress(stdout, terminal, name, static_cast<uint64_t>(size));
    int64_t received = 0;
    while (received < size) {
        const uint32_t count = static_cast<uint32_t>(std::min<int64_t>(size - received, kFramePiece));
        uint32_t got = 0;
        const IoResult result = readFully(*link, piece.data(), count, kDumpPieceSeconds, got);
        out.write(piece.data(), got);
        received += got;
        if (result != IoResult::Done) {
            progress.clear();
            out.close();
            std::error_code ignored;
            std::filesystem::remove(partPath, ignored);
            nodeClosed = result == IoResult::Closed;
            return fail(kMasterTransferCut, "dump " + std::to_string(number) + " from " + where + " cut after " +
                                                groupedCount(received) + " of " + groupedCount(size) +
                                                " bytes: connection " + describe(result));
        }
        progress.update(static_cast<uint64_t>(received));
    }
    progress.clear();
    out.close();
    std::error_code error;
    if (out.fail() || (std::filesystem::rename(partPath, finalPath, error), error))
        return fail(kMasterLocalFile, "cannot write the dump file '" + finalPath.string() + "'");
    dumpsSaved = number;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", secondsSince(start));
    say("dump " + std::to_string(number) + " saved: " + finalPath.string() + " (" + groupedCount(size) +
        " bytes, " + seconds + " s)");
    return kMasterOk;
}

int MasterSession::render() {
    const auto start = Clock::now();
    if (options.endAfterDumps == 0)
        sendEnd("after 0 dumps");
    for (;;) {
        const int interrupts = Port::interruptCount();
        if (interrupts >= 2)
            return fail(kMasterInterrupted, "interrupted again; not waiting for the node to finish");
        if (interrupts == 1)
            sendEnd("Ctrl-C; press it again to quit at once");
        if (options.endAfterSeconds >= 0 && secondsSince(start) >= options.endAfterSeconds)
            sendEnd("after " + std::to_string(static_cast<long long>(options.endAfterSeconds)) + " s");
        if (!link->WaitForRead(kPollMilliseconds))
            continue;

        unsigned char bytes[4];
        uint32_t got = 0;
        const IoResult result = readFully(*link, bytes, 4, kDumpPieceSeconds, got);
        if (got == 0 && (result == IoResult::Closed || result == IoResult::Failed))
            break;  // The node ends every job by closing; a reset counts too, when no dump was under way.
        if (result != IoResult::Done)
            return fail(kMasterTransferCut, "connection to " + where + " " + describe(result) + " inside a signal");
        if (getLE32(bytes) != kFileDumpSignal)
            return fail(kMasterNotANode, where + " sent an unknown signal while rendering");
        bool nodeClosed = false;
        const int status = receiveDump(nodeClosed);
        if (status != kMasterOk)
            return status;
        if (options.endAfterDumps > 0 && dumpsSaved >= options.endAfterDumps)
            sendEnd("after " + std::to_string(dumpsSaved) + " dumps");
    }
    say("the node closed the connection: job finished, " + std::to_string(dumpsSaved) + " dump" +
        (dumpsSaved == 1 ? "" : "s") + " saved in " + options.outDirectory);
    return kMasterOk;
}

int MasterSession::run() {
    int status = openScene();
    if (status == kMasterOk)
        status = connect();
    if (status == kMasterOk)
        status = awaitGreeting();
    if (status == kMasterOk)
        status = sendJob();
    if (status == kMasterOk)
        status = sendScene();
    if (status == kMasterOk)
        status = render();
    if (link)
        link->Destroy();
    return status;
}

}  // namespace

int runRenderSession(const RenderOptions& options) {
    MasterSession session(options);
    return session.run();
}

}  // namespace Varnix::Peer
