#pragma once
// A hand-driven master connection, for what a well-behaved master such as
// drmaster never does: stay silent, send no number, drop mid-scene, send END
// twice. Every step waits at most a few seconds.

#include "port/socket.h"

#include <cstdint>
#include <memory>
#include <string>

namespace e2e {

class RawMaster {
public:
    // Connects to the node's master port on the loopback address.
    bool connect();
    // Reads the node greeting (true when it came) and answers as a master.
    bool greet();
    bool sendParameters(const std::string& text);
    // Sends the bytes as they are (no NUL added).
    bool sendRaw(const std::string& bytes);
    // Sends a file frame header announcing `size` and then `sendBytes` bytes.
    bool sendScene(std::int32_t size, std::int32_t sendBytes);
    bool sendEnd();
    // Sends raw bytes (a signal cut in pieces, for example).
    bool sendBytes(const std::string& bytes);
    // Reads one file-dump signal and its file frame; false on anything else.
    bool readDump(std::string& content, int timeoutSeconds = 10);
    // Reads 4 bytes; noValue when nothing came within the time.
    std::uint32_t readSignal(int timeoutSeconds);
    // True when the node has closed the connection within `seconds`.
    bool waitForClose(double seconds);
    void close();

    static constexpr std::uint32_t noValue = 0xFFFFFFFF;

private:
    bool writeAll(const void* data, std::uint32_t size);

    std::unique_ptr<Varnix::Port::StreamSocket> socket;
};

}  // namespace e2e
