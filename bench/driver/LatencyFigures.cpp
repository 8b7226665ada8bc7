// END forwarded, a bogus greeting's close, and the discovery reply.
#include "Bench.h"

#include "Net.h"
#include "Process.h"
#include "Report.h"
#include "Stats.h"
#include "WorkFiles.h"

#include <sys/inotify.h>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace bench {

void Bench::benchEnd() {
    say("END latency: " + std::to_string(opt.ends) + " ENDs in one job");
    fs::path record = root / "max" / "end" / "maxstub-record.txt";
    int ready = logCount("Ready for new connection");
    int fd = connectTcp(masterPort, 5000);
    unsigned char bytes[4];
    if (fd < 0 || !readExact(fd, bytes, 4, 10000)) die("no node greeting for the END job");
    encodeSignal(masterGreeting, bytes);
    writeAll(fd, bytes, 4);
    const char parameters[] = "2016 0";
    writeAll(fd, parameters, sizeof parameters);  // with its NUL
    encodeSignal(0, bytes);
    writeAll(fd, bytes, 4);  // an empty scene

    auto start = Clock::now();
    while (countOf(readText(record), "data_directory") == 0) {
        if (msSince(start, Clock::now()) > 30000) die("the stand-in did not come online for the END job");
        sleepMs(10);
    }
    sleepMs(300);
    int watchFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(watchFd, record.parent_path().c_str(), IN_MODIFY);
    int seen = countOf(readText(record), "end_received");
    std::vector<double> latencies;
    alignas(inotify_event) char buffer[4096];
    for (int i = 0; i < opt.ends; ++i) {
        sleepMs(uniformMs(100, 400));
        while (read(watchFd, buffer, sizeof buffer) > 0) {
        }
        encodeSignal(endSignal, bytes);
        auto sent = Clock::now();
        writeAll(fd, bytes, 4);
        for (;;) {
            pollfd p{watchFd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) die("the stand-in did not report END " + std::to_string(i + 1));
            auto when = Clock::now();
            while (read(watchFd, buffer, sizeof buffer) > 0) {
            }
            int now = countOf(readText(record), "end_received");
            if (now > seen) {
                seen = now;
                latencies.push_back(msSince(sent, when));
                break;
            }
        }
    }
    close(watchFd);
    close(fd);
    if (!waitForLogCount("Ready for new connection", ready + 1, 30)) die("the END job did not end");

    // Baseline: the same signal through a plain relay thread on loopback.
    std::uint16_t port1 = 0, port2 = 0;
    int l1 = listenTcp(port1), l2 = listenTcp(port2);
    int master = connectTcp(port1, 1000), relayIn = accept(l1, nullptr, nullptr);
    int relayOut = connectTcp(port2, 1000), host = accept(l2, nullptr, nullptr);
    std::thread relay([&] {
        unsigned char b[4];
        while (readExact(relayIn, b, 4, 10000)) writeAll(relayOut, b, 4);
    });
    std::vector<double> base;
    for (int i = 0; i < opt.ends; ++i) {
        sleepMs(uniformMs(5, 20));
        encodeSignal(endSignal, bytes);
        auto sent = Clock::now();
        writeAll(master, bytes, 4);
        readExact(host, bytes, 4, 5000);
        base.push_back(msSince(sent, Clock::now()));
    }
    close(master);
    relay.join();
    for (int f : {l1, l2, relayIn, relayOut, host}) close(f);
    addRow({"END master → 3ds Max side, median / p99 / max of " + std::to_string(opt.ends) + " (ms)",
            bench::latencies(latencies, 2), bench::latencies(base, 3), "", "p99 < 10"});
}

void Bench::benchBogus() {
    say("bogus greetings: " + std::to_string(opt.bogus));
    auto probe = [&](std::uint16_t port) {
        auto start = Clock::now();
        int fd = connectTcp(port, 5000);
        unsigned char bytes[4];
        if (fd < 0 || !readExact(fd, bytes, 4, 10000)) die("no greeting for the bogus connection");
        encodeSignal(0x04030201, bytes);
        writeAll(fd, bytes, 4);
        if (!waitForClose(fd, 10000)) die("the bogus connection was not closed");
        auto closed = Clock::now();
        close(fd);
        return msSince(start, closed);
    };
    std::vector<double> node, base;
    int ready = logCount("Ready for new connection");
    for (int i = 0; i < opt.bogus; ++i) {
        node.push_back(probe(masterPort));
        sleepMs(20);
    }
    if (!waitForLogCount("Ready for new connection", ready + opt.bogus, 10))
        die("the node did not log every bogus connection");

    std::uint16_t port = 0;
    int listener = listenTcp(port);
    std::thread server([&] {
        for (int i = 0; i < opt.bogus; ++i) {
            int fd = accept(listener, nullptr, nullptr);
            unsigned char bytes[4];
            encodeSignal(nodeGreeting, bytes);
            writeAll(fd, bytes, 4);
            readExact(fd, bytes, 4, 5000);
            close(fd);
        }
    });
    for (int i = 0; i < opt.bogus; ++i) base.push_back(probe(port));
    server.join();
    close(listener);
    addRow({"Bogus 4-byte greeting: connect to \"Ready for new connection\" (the close), median / max (ms)",
            fmt(median(node), 2) + " / " + fmt(maximum(node), 2), fmt(median(base), 3) + " / " + fmt(maximum(base), 3),
            "", ""});
}

void Bench::benchDiscovery() {
    say("discovery: " + std::to_string(opt.pings) + " pings");
    auto ping = [&](std::uint16_t port, double maxPauseMs) {
        std::vector<double> latencies;
        std::uint16_t own = 0;
        int fd = bindUdp(own);
        unsigned char bytes[16];
        for (int i = 0; i < opt.pings; ++i) {
            sleepMs(uniformMs(0, maxPauseMs));
            while (recv(fd, bytes, sizeof bytes, MSG_DONTWAIT) > 0) {
            }
            encodeSignal(masterGreeting, bytes);
            auto sent = Clock::now();
            sendUdp(fd, port, bytes, 4);
            if (!waitReadable(fd, 3000)) die("no discovery reply");
            auto answered = Clock::now();
            if (recv(fd, bytes, sizeof bytes, 0) != 4 || decodeSignal(bytes) != nodeGreeting)
                die("a wrong discovery reply");
            latencies.push_back(msSince(sent, answered));
            sleepMs(20);  // the other three copies
        }
        close(fd);
        return latencies;
    };
    std::vector<double> node = ping(discoveryPort, 400);

    std::uint16_t port = 0;
    int echo = bindUdp(port);
    std::atomic<bool> stopEcho{false};
    std::thread server([&] {
        unsigned char bytes[16];
        while (!stopEcho) {
            if (!waitReadable(echo, 50)) continue;
            sockaddr_storage from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(echo, bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n != 4) continue;
            encodeSignal(nodeGreeting, bytes);
            for (int k = 0; k < 4; ++k) sendto(echo, bytes, 4, 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    });
    std::vector<double> base = ping(port, 5);
    stopEcho = true;
    server.join();
    close(echo);
    addRow({"Discovery ping to first reply, median / p99 / max of " + std::to_string(opt.pings) + " (ms)",
            latencies(node, 2), latencies(base, 3), "", "p99 < 10"});
}

}  // namespace bench
