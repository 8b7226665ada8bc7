#pragma once
// A stand-in for the node's status answer on a loopback port of its own: it
// answers each status request with the JSON it was given, as the node's
// discovery thread does, so that readers of the answer can be tested before
// and apart from a whole node.

#include "port/socket.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace VarnixTest {

class StatusResponder {
public:
    // Answers on 127.0.0.1 at `port` (0: a free one) with `json`.
    explicit StatusResponder(const std::string& json, std::uint16_t port = 0);
    // stop().
    ~StatusResponder();
    StatusResponder(const StatusResponder&) = delete;
    StatusResponder& operator=(const StatusResponder&) = delete;

    std::uint16_t port() const { return boundPort; }
    void setJson(const std::string& json);
    // Requests answered so far.
    int answered() const { return answers; }
    // Stops answering and closes the port, as a node that has ended.
    void stop();

private:
    void run();

    Varnix::Port::DatagramSocket socket;
    std::uint16_t boundPort = 0;
    std::mutex lock;
    std::string answer;
    std::atomic<bool> stopping{false};
    std::atomic<int> answers{0};
    std::thread thread;
};

}  // namespace VarnixTest
