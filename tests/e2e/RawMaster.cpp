#include "RawMaster.h"

#include "node/Protocol.h"

#include <chrono>
#include <vector>

namespace e2e {

namespace {

using Varnix::decodeSignal;
using Varnix::endSignal;
using Varnix::fileDumpSignal;
using Varnix::masterGreeting;
using Varnix::nodeGreeting;

void encode(std::uint32_t value, unsigned char bytes[4]) { Varnix::encodeSignal(value, bytes); }

}  // namespace

bool RawMaster::connect() {
    socket = Varnix::Port::StreamSocket::connect(Varnix::Port::IPv4Address::loopback(Varnix::masterPort), 5).take();
    return socket != nullptr;
}

bool RawMaster::writeAll(const void* data, std::uint32_t size) {
    socket->SetTimeout(5);
    socket->Write(data, size);
    return socket->LastWriteCount() == size;
}

std::uint32_t RawMaster::readSignal(int timeoutSeconds) {
    unsigned char bytes[4];
    socket->SetTimeout(timeoutSeconds);
    socket->Read(bytes, 4);
    if (socket->LastReadCount() != 4) return noValue;
    return decodeSignal(bytes);
}

bool RawMaster::greet() {
    if (readSignal(10) != nodeGreeting) return false;
    unsigned char bytes[4];
    encode(masterGreeting, bytes);
    return writeAll(bytes, 4);
}

bool RawMaster::sendParameters(const std::string& text) {
    return writeAll(text.c_str(), std::uint32_t(text.size() + 1));
}

bool RawMaster::sendRaw(const std::string& bytes) { return writeAll(bytes.data(), std::uint32_t(bytes.size())); }

bool RawMaster::sendScene(std::int32_t size, std::int32_t sendBytes) {
    unsigned char bytes[4];
    encode(std::uint32_t(size), bytes);
    if (!writeAll(bytes, 4)) return false;
    std::vector<char> content(std::size_t(sendBytes > 0 ? sendBytes : 0));
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = char(i % 253);
    return content.empty() || writeAll(content.data(), std::uint32_t(content.size()));
}

bool RawMaster::sendEnd() {
    unsigned char bytes[4];
    encode(endSignal, bytes);
    return writeAll(bytes, 4);
}

bool RawMaster::sendBytes(const std::string& bytes) { return writeAll(bytes.data(), std::uint32_t(bytes.size())); }

bool RawMaster::readDump(std::string& content, int timeoutSeconds) {
    if (readSignal(timeoutSeconds) != fileDumpSignal) return false;
    std::uint32_t size = readSignal(10);
    if (size == noValue || std::int32_t(size) < 0) return false;
    content.assign(size, '\0');
    if (size == 0) return true;
    socket->SetTimeout(10);
    socket->Read(content.data(), size);
    return socket->LastReadCount() == size;
}

bool RawMaster::waitForClose(double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (socket->IsClosed() || !socket->IsOk()) return true;
        // Drain whatever the node still sends, so that a close behind it shows.
        if (socket->WaitForRead(50)) {
            char drain[4096];
            socket->SetTimeout(0);
            socket->Read(drain, sizeof drain);
        }
    }
    return socket->IsClosed() || !socket->IsOk();
}

void RawMaster::close() {
    if (socket) socket->Destroy();
}

}  // namespace e2e
