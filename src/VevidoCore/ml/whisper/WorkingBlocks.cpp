#include "WorkingBlocks.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace ml::whisper {

namespace {

struct Pool {
    std::mutex mutex;
    WorkingBlock idle;
    // Taken before any reclaimer's own locks, never while `mutex` is held: a reclaimer hands
    // blocks back, which takes `mutex`.
    std::mutex reclaimersMutex;
    std::vector<std::function<void()>*> reclaimers;
};

Pool& pool() {
    static Pool* const shared = new Pool;  // never destroyed: blocks may come back at exit
    return *shared;
}

// The idle block when it holds `bytes`, else an empty one.
WorkingBlock takeFitting(Pool& p, std::size_t bytes) {
    std::lock_guard<std::mutex> lock(p.mutex);
    if (p.idle.size() != 0 && p.idle.size() >= bytes)
        return std::exchange(p.idle, WorkingBlock());
    return {};
}

}  // namespace

WorkingBlock takeWorkingBlock(std::size_t bytes) {
    Pool& p = pool();
    if (WorkingBlock block = takeFitting(p, bytes); block.size() != 0)
        return block;
    {
        std::lock_guard<std::mutex> lock(p.reclaimersMutex);
        for (std::function<void()>* reclaim : p.reclaimers)
            (*reclaim)();
    }
    if (WorkingBlock block = takeFitting(p, bytes); block.size() != 0)
        return block;
    {
        // The idle block is too small: it goes before the new one is made.
        std::unique_lock<std::mutex> lock(p.mutex);
        WorkingBlock tooSmall = std::exchange(p.idle, WorkingBlock());
        lock.unlock();
    }
    return WorkingBlock(std::max<std::size_t>(bytes, 1));
}

void giveWorkingBlock(WorkingBlock block) {
    Pool& p = pool();
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        if (block.size() > p.idle.size())
            std::swap(block, p.idle);
    }
    // The smaller of the two is freed on leaving, outside the lock.
}

WorkingBlockReclaimer::WorkingBlockReclaimer(std::function<void()> reclaim)
    : reclaim_(std::move(reclaim)) {
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.reclaimersMutex);
    p.reclaimers.push_back(&reclaim_);
}

WorkingBlockReclaimer::~WorkingBlockReclaimer() {
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.reclaimersMutex);
    std::erase(p.reclaimers, &reclaim_);
}

}  // namespace ml::whisper
