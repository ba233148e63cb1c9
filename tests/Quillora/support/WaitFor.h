#pragma once

// Waits on a condition with a deadline instead of sleeping for a fixed time.

#include <chrono>
#include <functional>
#include <thread>

namespace quillora::testing {

// Polls `condition` every few milliseconds (running `between` in the gaps, e.g. an event loop)
// until it holds or the deadline passes; returns whether it held.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10),
                    const std::function<void()>& between = {}) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        if (between) {
            between();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace quillora::testing
