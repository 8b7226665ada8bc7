#include "Reporter.h"

#include <cstdio>

namespace Varnix::Peer {

void Reporter::say(const std::string& text) {
    if (jsonMode) return;
    std::printf("drmaster: %s\n", text.c_str());
    std::fflush(stdout);
}

void Reporter::warn(const std::string& text) {
    std::fflush(stdout);
    std::fprintf(stderr, "drmaster: warning: %s\n", text.c_str());
    std::fflush(stderr);
}

int Reporter::fail(int status, const std::string& text) {
    std::fflush(stdout);
    std::fprintf(stderr, "drmaster: error: %s\n", text.c_str());
    std::fflush(stderr);
    if (failure.empty()) failure = text;
    return status;
}

void Reporter::emit(const std::string& document) {
    if (!jsonMode) return;
    std::printf("%s\n", document.c_str());
    std::fflush(stdout);
}

}  // namespace Varnix::Peer
