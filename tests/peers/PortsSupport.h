#pragma once

// What the port-binding peers tests share: running the tools as child
// processes with a time limit, raw byte I/O on the test's own sockets, and
// reading the stand-in's record file.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "peers/PeerTestSupport.h"
#include "port/socket.h"

namespace PeerTest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Varnix::Port::IPv4Address;
using Varnix::Port::ListeningSocket;
using Varnix::Port::StreamSocket;

inline std::string binDir() { return VARNIX_BIN_DIR; }

// The link values as bytes on the wire, written out rather than computed.
inline const std::string nodeGreetingBytes("\x27\x18\xC0\xC0", 4);
inline const std::string masterGreetingBytes("\x29\x37\xC0\xC0", 4);
inline const std::string hostGreetingBytes("\x72\x21\xC0\xC0", 4);
inline const std::string endBytes("\x26\x48\xC0\xC0", 4);
inline const std::string fileDumpBytes("\x27\x58\xC0\xC0", 4);

inline std::string le32(uint32_t v) {
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return out;
}

// Single-quotes a word for /bin/sh.
inline std::string shellQuote(const std::string& word) {
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A command run through the shell on its own thread, with standard output
// and error captured in files. A time limit (timeout(1)) guarantees that the
// test never hangs on it.
class Child {
public:
    Child(const std::string& command, const std::string& outputPrefix, int limitSeconds = 60)
        : outPath(outputPrefix + ".out"), errPath(outputPrefix + ".err") {
        const std::string line = "timeout -k 5 " + std::to_string(limitSeconds) + " sh -c " + shellQuote(command) +
                                 " >" + shellQuote(outPath) + " 2>" + shellQuote(errPath) + " </dev/null";
        result = std::async(std::launch::async, [line] { return std::system(line.c_str()); });
    }
    ~Child() {
        if (result.valid()) result.wait();
    }

    bool finishedWithin(std::chrono::milliseconds limit) { return result.wait_for(limit) == std::future_status::ready; }

    // The exit status as a shell reports it (128 + signal when killed).
    int status() {
        if (!haveStatus) {
            const int raw = result.get();
            exitStatus = (raw & 0x7F) != 0 ? 128 + (raw & 0x7F) : (raw >> 8) & 0xFF;
            haveStatus = true;
        }
        return exitStatus;
    }

    std::string out() const { return readFile(outPath); }
    std::string err() const { return readFile(errPath); }

private:
    std::string outPath, errPath;
    std::future<int> result;
    bool haveStatus = false;
    int exitStatus = -1;
};

// Reads up to `count` bytes, waiting at most `seconds`; returns what came.
inline std::string readRaw(StreamSocket& socket, uint32_t count, int seconds) {
    std::string buffer(count, '\0');
    socket.SetTimeout(seconds);
    socket.Read(buffer.data(), count);
    buffer.resize(socket.LastReadCount());
    return buffer;
}

inline bool writeRaw(StreamSocket& socket, const std::string& bytes) {
    socket.SetTimeout(10);
    socket.Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return socket.LastWriteCount() == bytes.size();
}

// Reads a NUL-terminated string frame byte by byte (at most 4096 bytes).
inline std::string readStringFrame(StreamSocket& socket, int seconds) {
    std::string text;
    for (int i = 0; i < 4096; ++i) {
        const std::string byte = readRaw(socket, 1, seconds);
        if (byte.empty() || byte[0] == '\0') break;
        text += byte;
    }
    return text;
}

// True when the peer closes within `limit` (bytes still arriving are dropped).
inline bool closesWithin(StreamSocket& socket, std::chrono::milliseconds limit) {
    const auto giveUp = Clock::now() + limit;
    while (Clock::now() < giveUp) {
        if (socket.IsClosed() || !socket.IsOk()) return true;
        if (socket.WaitForRead(20)) readRaw(socket, 4096, 0);
    }
    return socket.IsClosed() || !socket.IsOk();
}

// A node that refuses the job the slow way: it greets, takes the master's
// greeting and the job parameters, and only after `delay` (as when its name
// lookup of the master hangs) closes the connection, without reading the
// scene. Runs on its own thread from construction; the destructor waits.
class SlowRefusingNode {
public:
    SlowRefusingNode(ListeningSocket& listener, std::chrono::milliseconds delay)
        : thread([this, &listener, delay] {
              auto link = listener.Accept();
              if (!link || !writeRaw(*link, nodeGreetingBytes) || readRaw(*link, 4, 10) != masterGreetingBytes) return;
              parameters = readStringFrame(*link, 10);
              std::this_thread::sleep_for(delay);
              link->Destroy();
          }) {}
    ~SlowRefusingNode() {
        if (thread.joinable()) thread.join();
    }

    // The job parameters it read; waits for the node to have closed.
    std::string parametersRead() {
        if (thread.joinable()) thread.join();
        return parameters;
    }

private:
    std::string parameters;
    std::thread thread;
};

// The lines of the last run in a stand-in record file.
struct StubRecord {
    std::vector<std::string> lines;

    static StubRecord lastRun(const std::string& path) {
        StubRecord record;
        std::istringstream text(readFile(path));
        std::string line;
        while (std::getline(text, line)) {
            if (line == "run") record.lines.clear();
            record.lines.push_back(line);
        }
        return record;
    }
    int count(const std::string& key) const {
        int n = 0;
        for (const auto& line : lines)
            if (line == key || line.rfind(key + ": ", 0) == 0) ++n;
        return n;
    }
    std::string value(const std::string& key) const {
        for (const auto& line : lines)
            if (line.rfind(key + ": ", 0) == 0) return line.substr(key.size() + 2);
        return std::string();
    }
    bool has(const std::string& key) const { return count(key) > 0; }
};

}  // namespace PeerTest
