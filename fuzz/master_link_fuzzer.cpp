// The master link as the node reads it: the input is every byte a master
// sends on one connection. It goes through the master port's gate (the node
// greeting, the master greeting, the whole parameter string awaited), and a
// connection the gate hands over goes on as a job reads it (the parameters,
// the scene's file frame, the relay's polls for END). Whatever comes, nothing
// crashes; the gate hands over exactly the inputs that greet as a master and
// end their parameters within the size limit; the job reads the parameters
// the input holds; a scene that is accepted is on disk byte for byte.
//
// Each run has a connected socket pair of its own, closed at the end of the
// run, so nothing is left in the system between runs (a loopback TCP
// connection would leave its port in TIME_WAIT and run out of ports).

#include "FuzzSupport.h"

#include "core/String.h"
#include "node/LinkPrimitives.h"
#include "node/MasterGate.h"
#include "node/Protocol.h"
#include "port/socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

using Varnix::MasterGate;

namespace {

// Writes every byte and then shuts the sending side, so the node sees the
// end of the stream after the input and never waits out a time-out.
void feed(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) break;  // the node closed first: the rest is not wanted
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    ::shutdown(fd, SHUT_WR);
}

// The gate's verdict on `input` by the rules it is written to.
bool greetsWithCompleteParameters(const std::vector<std::uint8_t>& input, std::size_t& nul) {
    const std::uint8_t greeting[4] = {0x29, 0x37, 0xC0, 0xC0};
    if (input.size() < 4 || std::memcmp(input.data(), greeting, 4) != 0) return false;
    std::size_t limit = std::min(input.size(), 4 + std::size_t(Varnix::maxStringFrameBytes) + 1);
    const void* found = std::memchr(input.data() + 4, 0, limit - 4);
    if (!found) return false;
    nul = std::size_t(static_cast<const std::uint8_t*>(found) - input.data());
    return true;
}

// What a job does with the connection, up to the relay loop.
void runJob(Varnix::MasterConnection& connection, const std::vector<std::uint8_t>& input, std::size_t nul) {
    Varnix::Port::StreamSocket* master = connection.socket();
    if (!connection.parametersRead) std::abort();  // it was all there
    const Varnix::String& parameters = connection.parameters;
    // One code unit per byte: the byte itself when it is ASCII.
    if (parameters.length() != std::int32_t(nul - 4)) std::abort();
    for (std::size_t i = 4; i < nul; ++i)
        if (input[i] < 0x80 && parameters[std::int32_t(i - 4)] != input[i]) std::abort();

    static const std::string scenePath = FuzzSupport::scratchDirectory() + "/received_scene.max";
    Varnix::String scene(scenePath.c_str());
    if (Varnix::receiveFile(master, scene) == 0) {
        // A scene that was accepted is exactly the bytes after its size field.
        std::int32_t size = Varnix::getFileSize(scene);
        std::size_t frameStart = nul + 1 + 4;
        std::FILE* file = std::fopen(scenePath.c_str(), "rb");
        std::vector<std::uint8_t> onDisk(static_cast<std::size_t>(size));
        if (!file || (!onDisk.empty() && std::fread(onDisk.data(), 1, onDisk.size(), file) != onDisk.size()))
            std::abort();
        std::fclose(file);
        if (frameStart + onDisk.size() > input.size() ||
            (!onDisk.empty() && std::memcmp(onDisk.data(), input.data() + frameStart, onDisk.size()) != 0))
            std::abort();
    }

    // The relay loop's polls for END: whatever follows is read and dropped.
    Varnix::PartialSignal fromMaster;
    for (int turn = 0; turn < 4 && Varnix::isUsable(master); ++turn) fromMaster.poll(master);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The gate accepts nothing from it here: it is only there to be asked.
    static Varnix::Port::ListeningSocket listener(Varnix::Port::IPv4Address::loopback(0));
    static FuzzSupport::NullWindow window;
    if (!listener.IsOk()) std::abort();

    std::vector<std::uint8_t> input(data, data + size);
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
    MasterGate gate(&listener, &window);
    // A fixed clock: no deadline runs out, so only the bytes and the end of
    // the stream decide, as they would within the time limits.
    const long long now = 0;
    gate.admit(std::make_unique<Varnix::Port::StreamSocket>(ends[0]), now);
    // The input goes in at once when the socket pair's buffer holds it (the
    // usual case, and the fast one); a thread feeds the rest of a larger one.
    std::size_t queued = 0;
    while (queued < input.size()) {
        ssize_t sent = ::send(ends[1], input.data() + queued, input.size() - queued, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent <= 0) break;
        queued += std::size_t(sent);
    }
    std::thread feeder;
    if (queued == input.size())
        ::shutdown(ends[1], SHUT_WR);
    else
        feeder = std::thread(feed, ends[1], input.data() + queued, input.size() - queued);
    std::unique_ptr<Varnix::MasterConnection> master;
    while (!master && gate.held() > 0) {
        master = gate.takeNext(now);
        if (!master && gate.held() > 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    std::size_t nul = 0;
    if (bool(master) != greetsWithCompleteParameters(input, nul)) std::abort();
    if (master) {
        runJob(*master, input, nul);
        master->close();
    }
    if (feeder.joinable()) feeder.join();
    ::close(ends[1]);
    return 0;
}
