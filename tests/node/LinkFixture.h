#pragma once
// A connected pair on a free loopback port: `node` is the accepted side that
// the node's code uses, `peer` the other end, driven byte by byte from the
// protocol's tables. Each test also gets a fresh temporary directory.

#include "support/LoopbackConnection.h"
#include "support/TempDirectory.h"
#include "core/String.h"
#include "node/Protocol.h"
#include "port/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <memory>
#include <string>

class LinkTest : public VarnixTest::TempDirectoryTest {
protected:
    void SetUp() override {
        VarnixTest::TempDirectoryTest::SetUp();
        VarnixTest::LoopbackConnection pair;
        peer = std::move(pair.client);
        node = std::move(pair.server);
        ASSERT_TRUE(peer && node);
    }

    Varnix::String path(const std::string& name) const { return Varnix::String(pathOf(name).c_str()); }

    // What the peer receives within `seconds` (at most `count` bytes).
    std::string peerReads(std::uint32_t count, int seconds = 5) {
        std::string bytes(count, '\0');
        peer->SetTimeout(seconds);
        peer->Read(&bytes[0], count);
        bytes.resize(peer->LastReadCount());
        return bytes;
    }

    void peerWrites(const std::string& bytes) {
        peer->SetTimeout(5);
        peer->Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        ASSERT_EQ(bytes.size(), peer->LastWriteCount());
    }

    static std::string le32(std::uint32_t v) {
        unsigned char bytes[4];
        Varnix::encodeSignal(v, bytes);
        return std::string(reinterpret_cast<const char*>(bytes), 4);
    }

    static std::string pattern(std::size_t size) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = char((i * 7 + i / 251) & 0xFF);
        return bytes;
    }

    static long long msSince(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    }

    std::unique_ptr<Varnix::Port::StreamSocket> node;
    std::unique_ptr<Varnix::Port::StreamSocket> peer;
};
