#pragma once

#include <mutex>
#include <utility>

namespace vevidocore {

// A non-recursive mutual-exclusion lock. A body run by withLock must not take the same lock again.
class UnfairLock {
public:
    UnfairLock() = default;
    UnfairLock(const UnfairLock&) = delete;
    UnfairLock& operator=(const UnfairLock&) = delete;

    // Runs the body with the lock held and returns its result; the lock is released on every way
    // out, an exception from the body included, and the exception passes through unchanged.
    template <class Body>
    decltype(auto) withLock(Body&& body) {
        std::lock_guard guard(mutex_);
        return std::forward<Body>(body)();
    }

private:
    std::mutex mutex_;
};

}  // namespace vevidocore
