#pragma once

// Large working blocks that the stages take in turn. In a transcription the encoder's activations
// and a window's cross-attention are never needed at once: a window's cross-attention goes with
// its encoder output, before the next window is encoded. One block therefore serves both, where
// each kept its own, and it stays mapped between windows, so that its pages are touched once.

#include <cstddef>
#include <functional>

#include "ml/PageBuffer.h"

namespace ml::whisper {

// Pages of its own (see PageBuffer): freeing tens of megabytes through the allocator would raise
// its threshold for mapping large blocks, and the heap would then keep every buffer below that
// size after it is freed.
class WorkingBlock {
public:
    WorkingBlock() = default;
    // `bytes` bytes whose contents are unspecified. Throws std::bad_alloc.
    explicit WorkingBlock(std::size_t bytes) : pages_(bytes) {}

    std::size_t size() const { return pages_.size(); }
    // The block viewed as elements of T from `byteOffset` (a multiple of T's alignment).
    template <typename T>
    T* as(std::size_t byteOffset = 0) const {
        return reinterpret_cast<T*>(pages_.data() + byteOffset);
    }

private:
    PageBuffer pages_;
};

// A block of at least `bytes` bytes: the idle one when it is large enough, else a new one (the
// idle one is freed first). When none is idle, the registered reclaimers run first, so that
// blocks held for a use that can no longer come are handed back before a new one is made.
WorkingBlock takeWorkingBlock(std::size_t bytes);

// Hands a block back for the next taker; of it and the idle one, the larger stays.
void giveWorkingBlock(WorkingBlock block);

// While it lives, `reclaim` runs whenever a block is wanted and none is idle. It must hand back
// what its owner holds for nobody (through giveWorkingBlock, directly or by destroying holders),
// and must not take a block itself.
class WorkingBlockReclaimer {
public:
    explicit WorkingBlockReclaimer(std::function<void()> reclaim);
    WorkingBlockReclaimer(const WorkingBlockReclaimer&) = delete;
    WorkingBlockReclaimer& operator=(const WorkingBlockReclaimer&) = delete;
    ~WorkingBlockReclaimer();

private:
    std::function<void()> reclaim_;
};

}  // namespace ml::whisper
