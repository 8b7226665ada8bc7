// The write deadline of the socket layer against a peer that stops reading,
// with buffer sizes set by hand so that the stall is quick to make and the
// room the peer frees is too small to wake a waiting writer.

#include "port/socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

using Varnix::Port::StreamSocket;

namespace {

// A loopback TCP connection: `writer` with a small send buffer, `reader`
// with a small receive buffer.
struct SmallBufferPair {
    std::unique_ptr<StreamSocket> writer, reader;

    SmallBufferPair() {
        int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        EXPECT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
        EXPECT_EQ(0, ::listen(listener, 1));
        EXPECT_EQ(0, ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len));
        // The peer's window is small beside what the writer has queued, so
        // that what the peer frees by one read never makes the writer
        // writable again.
        int receive = 64 * 1024, send = 1000 * 1000;
        int client = ::socket(AF_INET, SOCK_STREAM, 0);
        ::setsockopt(client, SOL_SOCKET, SO_RCVBUF, &receive, sizeof receive);
        EXPECT_EQ(0, ::connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
        int server = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        ::setsockopt(server, SOL_SOCKET, SO_SNDBUF, &send, sizeof send);
        writer = std::make_unique<StreamSocket>(server);
        reader = std::make_unique<StreamSocket>(client);
    }

    // Writes until nothing more moves: every buffer on the way is full.
    void fill() {
        std::vector<char> block(65536, 'x');
        writer->SetTimeout(0);
        do {
            writer->Write(block.data(), std::uint32_t(block.size()));
        } while (writer->LastWriteCount() > 0);
    }
};

}  // namespace

TEST(StreamSocket, WriteNeverSendsOnceItsWaitHasRunOut) {
    SmallBufferPair p;
    p.fill();
    // The peer takes a little while the writer waits: enough room for the
    // small write below, too little to wake the wait. A write that is over
    // its time must not use that room after its wait has run out, or each
    // piece of a stalled transfer restarts the clock of the next.
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::vector<char> some(64 * 1024);
        p.reader->SetTimeout(5);
        p.reader->Read(some.data(), std::uint32_t(some.size()));
    });
    p.writer->SetTimeout(2);
    p.writer->Write("0123456789", 10);
    peer.join();
    EXPECT_EQ(0u, p.writer->LastWriteCount());
    EXPECT_TRUE(p.writer->IsOk());
}
