#pragma once

#include <atomic>
#include <cstdint>

namespace templates {

// Where a lookup by one node of a syntax tree last found its key: the objects one expression
// reads mostly share their layout (every message has its role first), so the next lookup tries
// there before it compares keys in a row. Only a hint: any position is safe to try, a copy of a
// tree starts afresh, and renderings of one template on several threads may overwrite each
// other's hints. A hint that was never set gives `none`, past the end of every object.
class PositionHint {
public:
    PositionHint() noexcept = default;
    PositionHint(const PositionHint&) noexcept {}
    PositionHint& operator=(const PositionHint&) noexcept { return *this; }
    ~PositionHint() = default;

    static constexpr std::uint32_t none = UINT32_MAX;

    std::uint32_t get() const noexcept { return position_.load(std::memory_order_relaxed); }
    void set(std::uint32_t position) const noexcept {
        position_.store(position, std::memory_order_relaxed);
    }

private:
    mutable std::atomic<std::uint32_t> position_{none};
};

}  // namespace templates
