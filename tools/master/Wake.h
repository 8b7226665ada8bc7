#pragma once
// drmaster wake: the Wake-on-LAN packet that brings a sleeping node back,
// so that a farm that sleeps at night can be woken for a render.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace Varnix::Peer {

struct WakeOptions {
    std::vector<std::array<std::uint8_t, 6>> machines;  // hardware addresses
    std::vector<std::string> texts;                     // as given, for the report
    std::string broadcast = "255.255.255.255";          // --broadcast ADDRESS
    int port = 9;                                       // --port N: the discard port, as most cards listen on
    bool json = false;
};

// Reads "aa:bb:cc:dd:ee:ff" (or with '-' between the bytes, as Windows
// writes them). False for anything else.
bool parseHardwareAddress(const std::string& text, std::array<std::uint8_t, 6>& out);

// The magic packet for `machine`: six 0xFF bytes, then its address sixteen
// times (102 bytes).
std::string wakePacket(const std::array<std::uint8_t, 6>& machine);

// False with a one-line `error` on a bad address or option, or no address.
bool parseWakeOptions(const std::vector<std::string>& args, WakeOptions& options, std::string& error);

// Sends each machine's packet to the broadcast address; one line each on
// standard output (or the JSON report). masterOk when every packet left;
// masterUnknownHost for an address that cannot be resolved,
// masterPingNotSent when the system refused to send. A sent packet proves
// nothing about the machine: it has no answer.
int runWake(const WakeOptions& options);

}  // namespace Varnix::Peer
