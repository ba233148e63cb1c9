#pragma once

#include <mutex>
#include <optional>
#include <unordered_map>

#include "vevidocore/UUID.h"

namespace vevidocore {

// One stop flag per decoding window, keyed by the window's identifier. Any thread may set, read
// and remove flags; a flag that one thread sets is seen by the next get of any thread.
class EarlyStopActor {
public:
    EarlyStopActor() = default;
    EarlyStopActor(const EarlyStopActor&) = delete;
    EarlyStopActor& operator=(const EarlyStopActor&) = delete;

    // Stores the flag for the window, replacing any earlier one.
    void set(bool value, const UUID& window);
    // The stored flag, or false when the window has none.
    bool get(const UUID& window) const;
    // Removes the window's flag and returns it; absent when there was none.
    std::optional<bool> remove(const UUID& window);

private:
    mutable std::mutex mutex_;
    std::unordered_map<UUID, bool> shouldStop_;
};

}  // namespace vevidocore
