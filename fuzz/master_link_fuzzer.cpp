// The master link as the node's accept loop and job read it: the input is
// every byte a master sends on one connection, fed through a real loopback
// TCP connection into the transfer primitives in the order of a job (greeting,
// job parameters, scene file frame, END polls). Whatever comes, the node's
// side must finish within its time-outs without a crash, and a scene frame
// that is accepted must be on disk byte for byte.

#include "FuzzSupport.h"

#include "core/String.h"
#include "node/LinkPrimitives.h"
#include "node/Signals.h"
#include "port/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

// A raw client: connects to the listener, writes every byte and then shuts
// its sending side, so the node sees the end of the stream after the input
// and never waits out a time-out. The node's writes stay unread.
int connectClient(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) std::abort();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
    return fd;
}

void feed(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) break;  // the node closed first: the rest is not wanted
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    ::shutdown(fd, SHUT_WR);
}

// What the node does with one master connection, up to the relay loop.
void serveOneMaster(Varnix::Port::StreamSocket* master, const std::vector<std::uint8_t>& input) {
    Varnix::writeSignal(master, Varnix::nodeGreeting, 5);
    if (Varnix::readSignal(master, 5) != Varnix::masterGreeting) return;
    Varnix::String parameters;
    if (Varnix::readString(master, parameters) != 0) return;
    (void)parameters.toNarrow();

    static const std::string scenePath = FuzzSupport::scratchDirectory() + "/received_scene.max";
    Varnix::String scene(scenePath.c_str());
    int received = Varnix::receiveFile(master, scene);
    std::int32_t size = Varnix::getFileSize(scene);

    // A scene that was accepted is exactly the bytes after its size field.
    if (received == 0) {
        const void* nul = std::memchr(input.data() + 4, 0, input.size() - 4);
        if (!nul) std::abort();
        std::size_t frameStart = static_cast<const std::uint8_t*>(nul) - input.data() + 1 + 4;
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
    for (int turn = 0; turn < 4 && Varnix::isUsable(master); ++turn) Varnix::readSignal(master, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Varnix::Port::ListeningSocket listener(Varnix::Port::IPv4Address::loopback(0));
    static std::uint16_t port = [] {
        Varnix::Port::IPv4Address local;
        if (!listener.IsOk() || !listener.GetLocal(local)) std::abort();
        listener.SetTimeout(10);
        return local.port;
    }();

    std::vector<std::uint8_t> input(data, data + size);
    int client = connectClient(port);
    std::unique_ptr<Varnix::Port::StreamSocket> master = listener.Accept();
    if (!master) std::abort();
    std::thread feeder(feed, client, input.data(), input.size());
    serveOneMaster(master.get(), input);
    master->Destroy();
    feeder.join();
    ::close(client);
    return 0;
}
