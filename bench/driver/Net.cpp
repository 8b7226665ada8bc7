#include "Net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace bench {

namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    return sa;
}

std::uint16_t boundPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

}  // namespace

int connectTcp(std::uint16_t port, int timeoutMs) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in sa = loopback(port);
    int r = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (r != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t len = sizeof error;
        if (poll(&p, 1, timeoutMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0) r = 0;
    }
    if (r != 0) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool writeAll(int fd, const void* data, std::size_t count) {
    auto* bytes = static_cast<const char*>(data);
    while (count > 0) {
        ssize_t n = send(fd, bytes, count, MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes += n;
        count -= std::size_t(n);
    }
    return true;
}

bool waitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

bool readExact(int fd, void* data, std::size_t count, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto* bytes = static_cast<char*>(data);
    while (count > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(fd, int(left.count()))) return false;
        ssize_t n = recv(fd, bytes, count, 0);
        if (n <= 0) return false;
        bytes += n;
        count -= std::size_t(n);
    }
    return true;
}

bool waitForClose(int fd, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char sink[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(fd, int(left.count()))) return false;
        ssize_t n = recv(fd, sink, sizeof sink, 0);
        if (n <= 0) return true;
    }
}

int listenTcp(std::uint16_t& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = loopback(0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    port = boundPort(fd);
    return fd;
}

int bindUdp(std::uint16_t& port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = loopback(0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    port = boundPort(fd);
    return fd;
}

bool sendUdp(int fd, std::uint16_t port, const void* data, std::size_t count) {
    sockaddr_in sa = loopback(port);
    return sendto(fd, data, count, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == ssize_t(count);
}

}  // namespace bench
