#include "vevidocore/EarlyStopActor.h"

namespace vevidocore {

void EarlyStopActor::set(bool value, const UUID& window) {
    std::lock_guard guard(mutex_);
    shouldStop_[window] = value;
}

bool EarlyStopActor::get(const UUID& window) const {
    std::lock_guard guard(mutex_);
    const auto found = shouldStop_.find(window);
    return found != shouldStop_.end() && found->second;
}

std::optional<bool> EarlyStopActor::remove(const UUID& window) {
    std::lock_guard guard(mutex_);
    const auto found = shouldStop_.find(window);
    if (found == shouldStop_.end()) {
        return std::nullopt;
    }
    const bool value = found->second;
    shouldStop_.erase(found);
    return value;
}

}  // namespace vevidocore
