#include "support/StatusResponder.h"

#include "node/Protocol.h"

#include <vector>

namespace VarnixTest {

StatusResponder::StatusResponder(const std::string& json, std::uint16_t port)
    : socket(Varnix::Port::IPv4Address::loopback(port)), answer(json) {
    Varnix::Port::IPv4Address local;
    if (socket.GetLocal(local)) boundPort = local.port;
    thread = std::thread([this] { run(); });
}

StatusResponder::~StatusResponder() { stop(); }

void StatusResponder::setJson(const std::string& json) {
    std::lock_guard<std::mutex> guard(lock);
    answer = json;
}

void StatusResponder::stop() {
    stopping = true;
    if (thread.joinable()) thread.join();
    socket.Destroy();
}

void StatusResponder::run() {
    std::vector<unsigned char> request(2048);
    while (!stopping) {
        if (!socket.WaitForRead(50)) continue;
        Varnix::Port::IPv4Address from;
        int n = socket.RecvFrom(from, request.data(), request.size());
        if (n < 8 || Varnix::decodeSignal(request.data()) != Varnix::statusRequest) continue;
        std::string datagram(4, '\0');
        Varnix::encodeSignal(Varnix::statusAnswer, reinterpret_cast<unsigned char*>(&datagram[0]));
        {
            std::lock_guard<std::mutex> guard(lock);
            datagram += answer;
        }
        // Never longer than the request, as the node keeps it.
        if (datagram.size() > std::size_t(n)) continue;
        socket.SendTo(from, datagram.data(), datagram.size());
        ++answers;
    }
}

}  // namespace VarnixTest
