#include "StubRender.h"

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "FrameImage.h"
#include "ImageFiles.h"
#include "LinkValues.h"
#include "LateHelper.h"
#include "LinkWatcher.h"
#include "MessageBox.h"
#include "ScriptOutput.h"
#include "StreamIo.h"
#include "StubExit.h"

namespace Varnix::Peer {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int greetingWaitSeconds = 30;   // the node accepts about once a second while it waits for us
constexpr int directoryWaitSeconds = 10;  // per byte of the data directory
constexpr size_t maxDirectoryLength = 65536;
constexpr int closeWaitSeconds = 10;      // after a wrong greeting, for the node to drop us
constexpr int nameReuseWaitSeconds = 10;  // for the node to remove the last dump of a reused name
constexpr uint32_t wrongHostGreeting = hostGreeting ^ 0x01000000u;  // 72 21 C0 C1

// Until ended from outside, as a hung renderer.
[[noreturn]] void hangForever(const char* how, std::ostream& console, Recorder& recorder) {
    console << "Hanging (behaviour file): " << how << std::endl;
    recorder.line("hanging", how);
    for (;;) std::this_thread::sleep_for(seconds(60));
}

// Until ended from outside, computing on one core: a frame that takes long.
[[noreturn]] void computeForever(std::ostream& console, Recorder& recorder) {
    console << "Hanging (behaviour file): busy" << std::endl;
    recorder.line("hanging", "busy");
    volatile std::uint64_t sum = 0;
    for (std::uint64_t i = 0;; ++i) sum = sum + i * i;
}

// Until ended from outside, taking more memory (and touching it, so that
// the system gives it) up to the cap; an allocation refused on the way is
// recorded, and the stand-in then waits as a renderer short of memory.
[[noreturn]] void growForever(int stepMb, int capMb, std::ostream& console, Recorder& recorder) {
    console << "Hanging (behaviour file): grow_memory" << std::endl;
    recorder.line("hanging", "grow_memory");
    std::vector<std::unique_ptr<char[]>> held;
    const std::size_t step = std::size_t(stepMb) << 20;
    try {
        for (int taken = 0; taken + stepMb <= capMb; taken += stepMb) {
            held.emplace_back(new char[step]);
            std::memset(held.back().get(), 1 + taken % 200, step);
            recorder.line("memory_mb", std::to_string(taken + stepMb));
            std::this_thread::sleep_for(milliseconds(100));
        }
    } catch (const std::bad_alloc&) {
        recorder.line("allocation_failed");
    }
    for (;;) std::this_thread::sleep_for(seconds(60));
}

[[noreturn]] void crash(std::ostream& console, Recorder& recorder) {
    console << "Simulating a crash (behaviour file)" << std::endl;
    recorder.line("crash");
    std::abort();
}

bool fileSize(const std::string& path, uint64_t& size) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const auto end = in.tellg();
    if (end < 0) return false;
    size = static_cast<uint64_t>(end);
    return true;
}

bool endsWithExr(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".exr";
}

std::unique_ptr<Port::StreamSocket> connectToNode(const Behaviour& behaviour, std::ostream& console) {
    const Port::IPv4Address node = Port::IPv4Address::loopback(hostPort);
    const auto giveUp = Clock::now() + seconds(behaviour.connectTimeoutSeconds);
    console << "Connecting to the render node at " << node.dotted() << ":" << hostPort << std::endl;
    std::string why;
    for (;;) {
        auto socket = Port::StreamSocket::connect(node, 5);
        if (socket.isOk()) return socket.take();
        why = socket.status().text();
        if (Clock::now() >= giveUp) break;
        std::this_thread::sleep_for(milliseconds(250));
    }
    console << "ERROR: cannot connect to the render node within " << behaviour.connectTimeoutSeconds << " s: " << why
            << std::endl;
    return nullptr;
}

// Reads the string frame that names the data directory. False on time-out,
// close, or a text past the length limit.
bool readDataDirectory(Port::StreamSocket& socket, std::string& directory) {
    directory.clear();
    for (;;) {
        char byte = 0;
        uint32_t got = 0;
        if (readFully(socket, &byte, 1, directoryWaitSeconds, got) != IoResult::Done) return false;
        if (byte == '\0') return true;
        if (directory.size() >= maxDirectoryLength) return false;
        directory.push_back(byte);
    }
}

std::string joinPath(const std::string& directory, const std::string& name) {
    if (directory.empty() || directory.back() == '/' || directory.back() == '\\') return directory + name;
    return directory + "/" + name;
}

// Writes the dump under a name the node does not look for, then renames it,
// so the node never sends a half-written file; or, when the behaviour file
// says so, straight under its final name, as a careless renderer would.
bool writeDump(const std::string& directory, int index, int frame, const RgbImage& image, const Behaviour& behaviour,
               std::string& path, uint64_t& size) {
    const std::string partial = joinPath(directory, "partial_" + std::to_string(index) + ".tmp");
    path = joinPath(directory, "dump" + std::to_string(behaviour.reuseDumpName ? 1 : index) + ".exr");
    const std::string bytes = encodeExr(image);
    size = bytes.size();
    if (!behaviour.keepDumpsIn.empty()) {
        // Before the node can see the dump and delete it; named so that the
        // copies of all runs sort in the order they were written.
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        char name[80];
        std::snprintf(name, sizeof name, "%020lld-frame%d-dump%d.exr", static_cast<long long>(stamp), frame, index);
        // Renamed into place whole, for a reader that watches the directory.
        const std::string kept = joinPath(behaviour.keepDumpsIn, name);
        if (writeWholeFile(kept + ".tmp", bytes)) std::rename((kept + ".tmp").c_str(), kept.c_str());
    }
    if (behaviour.dumpCutAt >= 0 && std::size_t(behaviour.dumpCutAt) < bytes.size()) {
        // A full disk: the file keeps what fitted and the write fails.
        if (behaviour.dumpsInPlace) {
            writeWholeFile(path, bytes.substr(0, std::size_t(behaviour.dumpCutAt)));
        } else {
            writeWholeFile(partial, bytes.substr(0, std::size_t(behaviour.dumpCutAt)));
            std::remove(partial.c_str());
        }
        return false;
    }
    if (behaviour.dumpsInPlace) return writeWholeFile(path, bytes);
    if (!writeWholeFile(partial, bytes)) {
        std::remove(partial.c_str());
        return false;
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        // Some platforms refuse to rename over an existing file.
        std::remove(path.c_str());
        if (std::rename(partial.c_str(), path.c_str()) != 0) {
            std::remove(partial.c_str());
            return false;
        }
    }
    return true;
}

int writeOutput(const RenderCommand& command, const Behaviour& behaviour, Recorder& recorder, std::ostream& console) {
    if (command.output.empty()) {
        console << "No output file given (-o:); nothing saved" << std::endl;
        return stubOk;
    }
    const RgbImage image = makeFrameImage(behaviour.dumpWidth, behaviour.dumpHeight, command.start, 1.0);
    const std::string bytes = endsWithExr(command.output) ? encodeExr(image) : encodePng(image);
    if (!writeWholeFile(command.output, bytes)) {
        console << "ERROR: cannot write the output file " << command.output << std::endl;
        recorder.line("output_failed", command.output);
        return stubOutputFailed;
    }
    console << "Saved frame " << command.start << " to " << command.output << std::endl;
    recorder.line("output", command.output);
    return stubOk;
}

int finish(int status, const RenderCommand& command, const Behaviour& behaviour, Recorder& recorder,
           std::ostream& console) {
    const int outputStatus = writeOutput(command, behaviour, recorder, console);
    if (status == stubOk) status = outputStatus;
    return status == stubOk ? behaviour.exitCode : status;
}

}  // namespace

int runStubRender(const RenderCommand& command, const Behaviour& behaviour, Recorder& recorder, std::ostream& console) {
    uint64_t sceneSize = 0;
    if (!fileSize(command.scene, sceneSize)) {
        console << "ERROR: cannot open the scene file " << command.scene << std::endl;
        recorder.line("scene_missing", command.scene);
        return stubNoScene;
    }
    recorder.line("scene_size", std::to_string(sceneSize));
    console << "Loaded scene " << command.scene << " (" << groupedCount(sceneSize) << " bytes)" << std::endl;
    console << "Rendering frame " << command.start;
    if (command.end != command.start)
        console << " (frames " << command.start << " to " << command.end << " asked; only the first is drawn)";
    console << std::endl;

    if (!behaviour.connect) {
        console << "Not connecting to the render node (behaviour file)" << std::endl;
        recorder.line("not_connecting");
        std::this_thread::sleep_for(milliseconds(static_cast<long long>(behaviour.dumps) * behaviour.dumpIntervalMs));
        return finish(stubOk, command, behaviour, recorder, console);
    }

    if (behaviour.connectDelayMs > 0) std::this_thread::sleep_for(milliseconds(behaviour.connectDelayMs));
    std::unique_ptr<Port::StreamSocket> link = connectToNode(behaviour, console);
    if (!link) {
        recorder.line("connect_failed");
        return finish(stubNoNode, command, behaviour, recorder, console);
    }
    recorder.line("connected");

    uint32_t greeting = 0;
    const IoResult greeted = readSignal(*link, greeting, greetingWaitSeconds);
    if (greeted != IoResult::Done || greeting != nodeGreeting) {
        console << "ERROR: the peer on the render node port did not greet as a node ("
                << (greeted == IoResult::Done ? "wrong bytes" : describe(greeted)) << ")" << std::endl;
        recorder.line("bad_node_greeting");
        return finish(stubNotANode, command, behaviour, recorder, console);
    }

    if (behaviour.wrongGreeting) {
        console << "Answering with a wrong greeting (behaviour file)" << std::endl;
        writeSignal(*link, wrongHostGreeting, 5);
        recorder.line("greeting_sent", "wrong");
        LinkWatcher watcher(
            *link, [] {}, [](uint32_t) {});
        const auto giveUp = Clock::now() + seconds(closeWaitSeconds);
        while (!watcher.closed() && Clock::now() < giveUp) watcher.pollFor(milliseconds(100));
        recorder.line(watcher.closed() ? "link_closed_by_node" : "link_kept_open_by_node");
        link->Destroy();
        return finish(stubOk, command, behaviour, recorder, console);
    }

    writeSignal(*link, hostGreeting, 5);
    recorder.line("greeting_sent", "good");

    std::string directory;
    if (!readDataDirectory(*link, directory)) {
        console << "ERROR: the render node sent no data directory" << std::endl;
        recorder.line("no_data_directory");
        link->Destroy();
        return finish(stubNotANode, command, behaviour, recorder, console);
    }
    recorder.line("data_directory", directory);
    console << "Render node online; dumps go to " << directory << std::endl;
    if (behaviour.bytesAfterGreeting > 0) {
        // Progress chatter the node has no use for; it must still see our close.
        std::string noise(static_cast<size_t>(behaviour.bytesAfterGreeting), '\0');
        for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>('a' + i % 26);
        const IoResult sent = writeFully(*link, noise.data(), static_cast<uint32_t>(noise.size()), 5);
        recorder.line("bytes_sent_after_greeting",
                      sent == IoResult::Done ? std::to_string(noise.size()) : describe(sent));
    }
    if (!behaviour.scriptOutput.empty()) {
        console << "A scene script prints (behaviour file, as UTF-16):" << std::endl;
        recorder.line(writeScriptOutput(behaviour.scriptOutput) ? "script_output" : "script_output_failed");
    }
    if (!behaviour.messageBoxTitle.empty()) {
        console << "Showing a message box (behaviour file): " << behaviour.messageBoxTitle << std::endl;
        recorder.line("message_box", behaviour.messageBoxTitle);
        recorder.line(showMessageBox(behaviour.messageBoxTitle, behaviour.messageBoxText) ? "message_box_closed"
                                                                                          : "message_box_not_shown");
    }
    if (behaviour.crashAfterDumps == 0) crash(console, recorder);
    if (behaviour.hang == "silent") hangForever("silent", console, recorder);

    LinkWatcher watcher(
        *link,
        [&] {
            console << "Got END from the render node" << std::endl;
            recorder.line("end_received");
        },
        [&](uint32_t value) {
            console << "WARNING: unexpected 4 bytes from the render node: 0x" << std::hex << value << std::dec
                    << std::endl;
            recorder.line("unexpected_signal", std::to_string(value));
        });

    int status = stubOk;
    for (int index = 1; index <= behaviour.dumps; ++index) {
        watcher.waitUntil(Clock::now() + milliseconds(behaviour.dumpIntervalMs));
        if ((watcher.endCount() > 0 && behaviour.hang != "ignore_end") || watcher.closed()) break;
        const RgbImage image = makeFrameImage(behaviour.dumpWidth, behaviour.dumpHeight, command.start,
                                              static_cast<double>(index) / behaviour.dumps);
        if (behaviour.reuseDumpName) {
            // The name is free again once the node has relayed and removed
            // the last dump; a dump written before that would replace it.
            const auto giveUp = Clock::now() + seconds(nameReuseWaitSeconds);
            while (std::ifstream(joinPath(directory, "dump1.exr")) && Clock::now() < giveUp && !watcher.closed())
                watcher.pollFor(milliseconds(20));
        }
        std::string path;
        uint64_t size = 0;
        if (!writeDump(directory, index, command.start, image, behaviour, path, size)) {
            console << "ERROR: cannot write the dump " << path << std::endl;
            recorder.line("dump_failed", path);
            status = stubDumpFailed;
            continue;
        }
        console << "Dump " << index << " of " << behaviour.dumps << ": " << path << " (" << groupedCount(size)
                << " bytes)" << std::endl;
        recorder.line("dump", path);
        if (index == behaviour.crashAfterDumps) crash(console, recorder);
    }

    if (behaviour.hang == "ignore_end" || behaviour.hang == "stuck")
        hangForever(behaviour.hang.c_str(), console, recorder);
    if (behaviour.hang == "busy") computeForever(console, recorder);
    if (behaviour.hang == "grow_memory")
        growForever(behaviour.growMemoryStepMb, behaviour.growMemoryCapMb, console, recorder);
    if (behaviour.hang == "close_link") {
        link->Destroy();
        recorder.line("link_closed");
        hangForever("close_link", console, recorder);
    }
    if (watcher.endCount() == 0 && !watcher.closed()) {
        if (behaviour.hangUntilEnd) {
            console << "Waiting for END from the render node, without a time limit" << std::endl;
            while (watcher.endCount() == 0 && !watcher.closed()) watcher.waitUntil(Clock::now() + seconds(60));
        } else {
            console << "Waiting up to " << behaviour.endWaitSeconds << " s for END from the render node" << std::endl;
            watcher.waitUntil(Clock::now() + seconds(behaviour.endWaitSeconds));
            if (watcher.endCount() == 0 && !watcher.closed()) {
                console << "No END within " << behaviour.endWaitSeconds << " s; finishing" << std::endl;
                recorder.line("end_wait_timed_out");
            }
        }
    }
    if (watcher.endCount() > 0) {
        // A second END may follow the first one; count it before closing.
        const auto lingerEnd = Clock::now() + milliseconds(behaviour.endLingerMs);
        while (!watcher.closed() && Clock::now() < lingerEnd)
            watcher.pollFor(std::chrono::duration_cast<milliseconds>(lingerEnd - Clock::now()));
    }
    if (watcher.closed()) {
        console << "The render node closed the link" << std::endl;
        recorder.line("link_closed_by_node");
    }

    status = finish(status, command, behaviour, recorder, console);
    link->Destroy();
    recorder.line("link_closed");
    if (behaviour.lateDumpMs >= 0) {
        const bool started = startLateHelper(directory, behaviour.lateDumpMs);
        recorder.line("late_helper", started ? "started" : "failed");
    }
    console << "Render finished" << std::endl;
    return status;
}

}  // namespace Varnix::Peer
