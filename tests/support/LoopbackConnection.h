#pragma once
// A listener on a free loopback port and one connection to it, both ends
// open: for tests of what the platform layer and the node do on a real
// socket. The test owns it; its ends may be used from any one thread each.

#include "port/socket.h"

#include <gtest/gtest.h>

#include <memory>

namespace VarnixTest {

struct LoopbackConnection {
    Varnix::Port::ListeningSocket listener{Varnix::Port::IPv4Address::loopback(0)};
    std::unique_ptr<Varnix::Port::StreamSocket> client;  // the end that connected
    std::unique_ptr<Varnix::Port::StreamSocket> server;  // the end the listener accepted

    LoopbackConnection() {
        Varnix::Port::IPv4Address local;
        EXPECT_TRUE(listener.GetLocal(local));
        client = Varnix::Port::StreamSocket::connect(local, 5).take();
        listener.SetTimeout(5);
        server = listener.Accept();
        EXPECT_TRUE(client && server);
    }
};

}  // namespace VarnixTest
