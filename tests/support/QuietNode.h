#pragma once
// What tests that drive a NodeLife without a window share: a face with
// nobody to show boxes to, and a wait for a condition the node reaches.

#include "node/NodeLife.h"
#include "port/clock.h"

#include <chrono>
#include <functional>

namespace VarnixTest {

// A face with nobody to show boxes to, as a service host is.
struct QuietFace : Varnix::NodeFace {
    void showMessageBox(const Varnix::String&, const Varnix::String&) override {}
};

// True once `done` holds, checked every 20 ms; false after `limitSeconds`.
inline bool waitUntil(const std::function<bool()>& done, int limitSeconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        Varnix::Port::sleepMilliseconds(20);
    }
    return true;
}

}  // namespace VarnixTest
