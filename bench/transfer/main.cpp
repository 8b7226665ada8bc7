// varnix-bench-transfer: both ends of a file transfer on loopback, either as
// plain TCP (the physical baseline: blocking sockets, 65536-byte pieces, each
// piece one read() from or one write() to the file) or through the node's own
// send/receive primitives.
// Both put the same bytes on the wire (a 4-byte little-endian size, then the
// content), so either end may be paired with either kind.
//
//   varnix-bench-transfer receive raw|primitives DIR COUNT
//       listens on 127.0.0.1 (any free port), prints "port N", accepts one
//       connection and writes COUNT files DIR/received_<k>.bin
//   varnix-bench-transfer send raw|primitives PORT [--pause-ms N] FILE...
//       connects to 127.0.0.1:PORT and sends each FILE, pausing N ms
//       before each one after the first (as dumps come one by one)
//   varnix-bench-transfer greet PORT
//       binds 0.0.0.0:PORT, writes the node greeting to one connection and
//       exits: the floor for a program's start-up to a greeting
//   varnix-bench-transfer relay DIR PORT COUNT [sendfile]
//       the plain dump relay: connects to 127.0.0.1:PORT and, woken by
//       inotify (a file closed after writing or moved into DIR), sends every
//       DIR/dump*.exr as the node does (file-dump signal, size, content in
//       65536-byte read/send pieces, or with sendfile() as the node sends
//       it) and deletes it, until COUNT files have gone
//   varnix-bench-transfer receive raw DIR COUNT signals
//       the raw receiver, reading a 4-byte signal before each file
//   varnix-bench-transfer pile node|plain DIR COUNT ROUNDS
//       the cost of a dump as dumps pile up: ROUNDS times, COUNT small dumps
//       (4,096 bytes) waiting in DIR are relayed over loopback to a reader
//       that drops them, then COUNT more are purged; by the node's own relay
//       (DumpRelay, its log lines queued) or by the plain relay's loop. Prints
//       "relay S purge S", the seconds of all rounds
//   varnix-bench-transfer limit SEND_CPU RECEIVE_CPU FILE...
//       the machine's loopback limit: each FILE sent with sendfile() to a
//       socket whose reader drops the bytes; prints the MB/s (from each
//       file's first byte sent to its last byte read, added up) and the
//       sending thread's CPU seconds per GiB. A CPU < 0 leaves that side unpinned
//
// Exit status 0 when every file moved whole, 1 otherwise. Linux only.

#include "node/DumpRelay.h"
#include "node/LinkPrimitives.h"
#include "node/Protocol.h"
#include "port/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t pieceBytes = 65536;

bool sendAll(int fd, const void* data, std::size_t count) {
    const char* bytes = static_cast<const char*>(data);
    while (count > 0) {
        ssize_t n = ::send(fd, bytes, count, MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// One call per piece where the system allows, as the node's reads wait for
// all requested bytes.
bool receiveAll(int fd, void* data, std::size_t count) {
    char* bytes = static_cast<char*>(data);
    while (count > 0) {
        ssize_t n = ::recv(fd, bytes, count, MSG_WAITALL);
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// Small writes (a size, a file's last piece) go out at once, as on the
// node's and drmaster's sockets; otherwise the baseline would wait for
// delayed acknowledgements that the node never waits for.
void noDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int listenLoopback(std::uint16_t port, std::uint32_t host) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(host);
    sa.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 4) != 0) {
        std::perror("bind");
        std::exit(1);
    }
    return fd;
}

std::uint16_t localPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

std::string receivedPath(const std::string& dir, int k) { return dir + "/received_" + std::to_string(k) + ".bin"; }

bool withSignals = false;  // a 4-byte signal before each file, as dumps come

int rawReceive(const std::string& dir, int count) {
    int listener = listenLoopback(0, INADDR_LOOPBACK);
    std::printf("port %u\n", localPort(listener));
    std::fflush(stdout);
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return 1;
    noDelay(fd);
    std::vector<char> buffer(pieceBytes);
    for (int k = 1; k <= count; ++k) {
        unsigned char sizeBytes[4];
        if (withSignals && !receiveAll(fd, sizeBytes, 4)) return 1;
        if (!receiveAll(fd, sizeBytes, 4)) return 1;
        std::uint32_t remaining = Varnix::decodeSignal(sizeBytes);
        int file = ::open(receivedPath(dir, k).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (file < 0) return 1;
        while (remaining > 0) {
            std::uint32_t piece = remaining < pieceBytes ? remaining : pieceBytes;
            if (!receiveAll(fd, buffer.data(), piece) || ::write(file, buffer.data(), piece) != ssize_t(piece))
                return 1;
            remaining -= piece;
        }
        if (::close(file) != 0) return 1;
    }
    ::close(fd);
    return 0;
}

int pauseMs = 0;

void pauseBetweenFiles(bool first) {
    if (!first && pauseMs > 0) ::usleep(static_cast<useconds_t>(pauseMs) * 1000);
}

int rawSend(std::uint16_t port, const std::vector<std::string>& files) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return 1;
    noDelay(fd);
    std::vector<char> buffer(pieceBytes);
    for (const auto& path : files) {
        pauseBetweenFiles(&path == &files.front());
        int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (file < 0 || ::fstat(file, &st) != 0) return 1;
        std::uint32_t remaining = static_cast<std::uint32_t>(st.st_size);
        unsigned char sizeBytes[4];
        Varnix::encodeSignal(remaining, sizeBytes);
        if (!sendAll(fd, sizeBytes, 4)) return 1;
        while (remaining > 0) {
            std::uint32_t piece = remaining < pieceBytes ? remaining : pieceBytes;
            if (::read(file, buffer.data(), piece) != ssize_t(piece) || !sendAll(fd, buffer.data(), piece)) return 1;
            remaining -= piece;
        }
        ::close(file);
    }
    // Wait for the receiver to finish and close, as a master waits for the node.
    char sink;
    ::shutdown(fd, SHUT_WR);
    while (::recv(fd, &sink, 1, 0) > 0) {
    }
    ::close(fd);
    return 0;
}

int connectLoopback(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return -1;
    noDelay(fd);
    return fd;
}

// The first dump*.exr in listing order, or "" (as the node's search).
std::string firstDump(const std::string& dir) {
    std::string found;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (::fnmatch("dump*", e->d_name, 0) == 0 && name.size() >= 4 &&
                name.compare(name.size() - 4, 4, ".exr") == 0 && e->d_type != DT_DIR) {
                found = dir + "/" + name;
                break;
            }
        }
        ::closedir(d);
    }
    return found;
}

bool sendDump(int fd, const std::string& path, std::vector<char>& buffer, bool zeroCopy) {
    int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (file < 0 || ::fstat(file, &st) != 0) return false;
    std::uint32_t remaining = static_cast<std::uint32_t>(st.st_size);
    unsigned char head[8];
    Varnix::encodeSignal(Varnix::fileDumpSignal, head);
    Varnix::encodeSignal(remaining, head + 4);
    if (!sendAll(fd, head, 4) || !sendAll(fd, head + 4, 4)) return false;
    for (off_t at = 0; zeroCopy && at < st.st_size;)
        if (::sendfile(fd, file, &at, std::size_t(st.st_size - at)) <= 0) return false;
    while (!zeroCopy && remaining > 0) {
        std::uint32_t piece = remaining < pieceBytes ? remaining : pieceBytes;
        if (::read(file, buffer.data(), piece) != ssize_t(piece) || !sendAll(fd, buffer.data(), piece)) return false;
        remaining -= piece;
    }
    ::close(file);
    return ::unlink(path.c_str()) == 0;
}

int rawRelay(const std::string& dir, std::uint16_t port, int count, bool zeroCopy) {
    int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || ::inotify_add_watch(watch, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) return 1;
    int fd = connectLoopback(port);
    if (fd < 0) return 1;
    std::printf("relaying\n");
    std::fflush(stdout);
    std::vector<char> buffer(pieceBytes);
    alignas(inotify_event) char events[4096];
    for (int sent = 0; sent < count;) {
        while (::read(watch, events, sizeof events) > 0) {
        }
        for (std::string path = firstDump(dir); !path.empty() && sent < count; path = firstDump(dir)) {
            if (!sendDump(fd, path, buffer, zeroCopy)) return 1;
            ++sent;
        }
        if (sent == count) break;
        pollfd p{watch, POLLIN, 0};
        ::poll(&p, 1, 60000);
    }
    char sink;
    ::shutdown(fd, SHUT_WR);
    while (::recv(fd, &sink, 1, 0) > 0) {
    }
    ::close(fd);
    return 0;
}

// The plain purge: the first dump of a fresh search, deleted, until none.
void plainPurge(const std::string& dir) {
    for (std::string path = firstDump(dir); !path.empty(); path = firstDump(dir)) ::unlink(path.c_str());
}

// Log lines queued as the node's log sink queues them, dropped between rounds.
class QueueWindow : public Varnix::LogTarget {
public:
    void log(const char16_t* text) override {
        std::lock_guard<std::mutex> hold(lock);
        lines.emplace_back(text);
    }
    using Varnix::LogTarget::log;
    void showMessageBox(const Varnix::String&, const Varnix::String&) override {}
    void clear() {
        std::lock_guard<std::mutex> hold(lock);
        lines.clear();
    }

private:
    std::mutex lock;
    std::vector<std::u16string> lines;
};

// A listener on loopback whose one connection is read and dropped until it ends.
struct DroppingReader {
    int listener = listenLoopback(0, INADDR_LOOPBACK);
    std::uint16_t port = localPort(listener);
    std::atomic<long long> bytes{0};
    std::thread reader{[this] {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        std::vector<char> sink(1 << 20);
        for (ssize_t n; (n = ::recv(fd, sink.data(), sink.size(), 0)) > 0;) bytes += n;
        ::close(fd);
    }};
    ~DroppingReader() {
        reader.join();
        ::close(listener);
    }
};

void makeDumps(const std::string& dir, int count) {
    std::string content(4096, 'x');
    for (int k = 1; k <= count; ++k) {
        int fd = ::open((dir + "/dump" + std::to_string(k) + ".exr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                        0644);
        if (fd < 0 || ::write(fd, content.data(), content.size()) != ssize_t(content.size())) std::exit(1);
        ::close(fd);
    }
}

int pile(bool node, const std::string& dir, int count, int rounds) {
    using Clock = std::chrono::steady_clock;
    DroppingReader drop;
    std::unique_ptr<Varnix::Port::StreamSocket> socket =
        Varnix::Port::StreamSocket::connect(Varnix::Port::IPv4Address::loopback(drop.port), 10).take();
    if (!socket) return 1;
    int fd = int(socket->nativeHandle());
    if (!node) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);  // the plain relay blocks
    // The node's data directory path ends in a slash, as the render service's.
    Varnix::String dataDirectory((dir + "/").c_str());
    Varnix::DumpRelay relay;
    QueueWindow window;
    std::vector<char> buffer(pieceBytes);
    double relaySeconds = 0, purgeSeconds = 0;
    for (int round = 0; round < rounds; ++round) {
        makeDumps(dir, count);
        auto start = Clock::now();
        if (node) {
            if (relay.relayDumpFiles(socket.get(), dataDirectory, &window) != count) return 1;
        } else {
            for (std::string path = firstDump(dir); !path.empty(); path = firstDump(dir))
                if (!sendDump(fd, path, buffer, false)) return 1;
        }
        relaySeconds += std::chrono::duration<double>(Clock::now() - start).count();
        window.clear();
        makeDumps(dir, count);
        start = Clock::now();
        if (node)
            relay.purgeDumpFiles(dataDirectory, &window);
        else
            plainPurge(dir);
        purgeSeconds += std::chrono::duration<double>(Clock::now() - start).count();
        window.clear();
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);  // as the socket layer keeps it
    socket->Destroy();
    std::printf("relay %.6f purge %.6f\n", relaySeconds, purgeSeconds);
    return 0;
}

bool pinTo(int cpu) {
    if (cpu < 0) return true;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

// User + system seconds of the calling thread.
double threadCpuSeconds() {
    rusage usage;
    ::getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int limit(int sendCpu, int receiveCpu, const std::vector<std::string>& files) {
    using Clock = std::chrono::steady_clock;
    std::atomic<long long> wanted{-1};
    std::atomic<Clock::rep> doneAt{0};
    int listener = listenLoopback(0, INADDR_LOOPBACK);
    std::thread reader([&] {
        pinTo(receiveCpu);
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        std::vector<char> sink(1 << 20);
        long long got = 0;
        for (ssize_t n; (n = ::recv(fd, sink.data(), sink.size(), 0)) > 0;) {
            got += n;
            if (got == wanted.load()) doneAt = Clock::now().time_since_epoch().count();
        }
        ::close(fd);
    });
    pinTo(sendCpu);
    int fd = connectLoopback(localPort(listener));
    if (fd < 0) return 1;
    double seconds = 0, bytes = 0, cpu = 0;
    for (const auto& path : files) {
        int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (file < 0 || ::fstat(file, &st) != 0) return 1;
        doneAt = 0;
        wanted = static_cast<long long>(bytes) + st.st_size;
        auto start = Clock::now();
        double cpuBefore = threadCpuSeconds();
        for (off_t at = 0; at < st.st_size;)
            if (::sendfile(fd, file, &at, std::size_t(st.st_size - at)) <= 0) return 1;
        cpu += threadCpuSeconds() - cpuBefore;
        while (doneAt.load() == 0) std::this_thread::yield();
        seconds += std::chrono::duration<double>(Clock::duration(doneAt.load()) - start.time_since_epoch()).count();
        bytes += double(st.st_size);
        ::close(file);
        ::usleep(100000);  // each dump on its own, as they come
    }
    std::printf("%.1f %.4f\n", bytes / seconds / 1e6, cpu / (bytes / (1 << 30)));
    ::close(fd);
    reader.join();
    ::close(listener);
    return 0;
}

int primitivesReceive(const std::string& dir, int count) {
    using namespace Varnix;
    Port::ListeningSocket listener(Port::IPv4Address::loopback(0));
    Port::IPv4Address local;
    if (!listener.IsOk() || !listener.GetLocal(local)) return 1;
    std::printf("port %u\n", local.port);
    std::fflush(stdout);
    listener.SetTimeout(60);
    std::unique_ptr<Port::StreamSocket> socket = listener.Accept();
    if (!socket) return 1;
    for (int k = 1; k <= count; ++k)
        if (receiveFile(socket.get(), String(receivedPath(dir, k).c_str())) != 0) return 1;
    socket->Destroy();
    return 0;
}

int primitivesSend(std::uint16_t port, const std::vector<std::string>& files) {
    using namespace Varnix;
    std::unique_ptr<Port::StreamSocket> socket =
        Port::StreamSocket::connect(Port::IPv4Address::loopback(port), 10).take();
    if (!socket) return 1;
    for (const auto& path : files) {
        pauseBetweenFiles(&path == &files.front());
        if (sendFile(socket.get(), String(path.c_str())) != 0) return 1;
    }
    socket->SetTimeout(60);
    char sink;
    while (true) {
        socket->Read(&sink, 1);
        if (socket->LastReadCount() == 0) break;
    }
    return 0;
}

int greet(std::uint16_t port) {
    int listener = listenLoopback(port, INADDR_ANY);
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const unsigned char greeting[4] = {0x27, 0x18, 0xC0, 0xC0};
    sendAll(fd, greeting, 4);
    ::close(fd);
    ::close(listener);
    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: varnix-bench-transfer receive raw|primitives DIR COUNT\n"
                         "       varnix-bench-transfer send raw|primitives PORT [--pause-ms N] FILE...\n"
                         "       varnix-bench-transfer greet PORT\n"
                         "       varnix-bench-transfer relay DIR PORT COUNT [sendfile]\n"
                         "       varnix-bench-transfer pile node|plain DIR COUNT ROUNDS\n"
                         "       varnix-bench-transfer limit SEND_CPU RECEIVE_CPU FILE...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "greet") == 0) return greet(static_cast<std::uint16_t>(std::atoi(argv[2])));
    if ((argc == 5 || (argc == 6 && std::strcmp(argv[5], "sendfile") == 0)) && std::strcmp(argv[1], "relay") == 0)
        return rawRelay(argv[2], static_cast<std::uint16_t>(std::atoi(argv[3])), std::atoi(argv[4]), argc == 6);
    if (argc == 6 && std::strcmp(argv[1], "pile") == 0)
        return pile(std::strcmp(argv[2], "node") == 0, argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
    if (argc >= 5 && std::strcmp(argv[1], "limit") == 0)
        return limit(std::atoi(argv[2]), std::atoi(argv[3]), std::vector<std::string>(argv + 4, argv + argc));
    if (argc < 5) return usage();
    std::string verb = argv[1], kind = argv[2];
    bool raw = kind == "raw";
    if (!raw && kind != "primitives") return usage();
    if (verb == "receive" && (argc == 5 || (argc == 6 && raw && std::strcmp(argv[5], "signals") == 0))) {
        withSignals = argc == 6;
        int count = std::atoi(argv[4]);
        return raw ? rawReceive(argv[3], count) : primitivesReceive(argv[3], count);
    }
    if (verb == "send") {
        auto port = static_cast<std::uint16_t>(std::atoi(argv[3]));
        int first = 4;
        if (argc > 5 && std::strcmp(argv[4], "--pause-ms") == 0) {
            pauseMs = std::atoi(argv[5]);
            first = 6;
        }
        std::vector<std::string> files(argv + first, argv + argc);
        return raw ? rawSend(port, files) : primitivesSend(port, files);
    }
    return usage();
}
