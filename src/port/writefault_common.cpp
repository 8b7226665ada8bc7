#include "port/writefault.h"

#include <algorithm>
#include <atomic>

namespace Varnix::Port {

namespace {

std::atomic<std::int64_t> bytesLeft{-1};

}  // namespace

void limitFileWrites(std::int64_t bytes) { bytesLeft = bytes; }

std::size_t allowedWriteBytes(std::size_t wanted) {
    std::int64_t left = bytesLeft.load();
    for (;;) {
        if (left < 0) return wanted;
        std::int64_t granted = std::min<std::int64_t>(left, std::int64_t(wanted));
        if (bytesLeft.compare_exchange_weak(left, left - granted)) return std::size_t(granted);
    }
}

}  // namespace Varnix::Port
