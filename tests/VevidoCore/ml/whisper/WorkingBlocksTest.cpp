#include "WorkingBlocks.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace {

using ml::whisper::giveWorkingBlock;
using ml::whisper::takeWorkingBlock;
using ml::whisper::WorkingBlock;
using ml::whisper::WorkingBlockReclaimer;

// The stages take one block in turn: what one hands back, the next gets, as long as it is large
// enough; the larger of two handed back stays. (A block an earlier test in this process handed
// back may be the first one taken.)
TEST(WorkingBlocks, TheBlockHandedBackIsTheNextOneTaken) {
    WorkingBlock first = takeWorkingBlock(1000);
    ASSERT_GE(first.size(), 1000u);
    std::byte* const memory = first.as<std::byte>();
    const std::size_t size = first.size();
    giveWorkingBlock(std::move(first));

    WorkingBlock smaller = takeWorkingBlock(600);
    EXPECT_EQ(smaller.as<std::byte>(), memory);
    EXPECT_EQ(smaller.size(), size);
    giveWorkingBlock(std::move(smaller));

    WorkingBlock larger = takeWorkingBlock(5000);
    EXPECT_GE(larger.size(), 5000u);
    WorkingBlock other = takeWorkingBlock(10);  // none idle: a new one
    std::byte* const largerMemory = larger.as<std::byte>();
    giveWorkingBlock(std::move(other));
    giveWorkingBlock(std::move(larger));
    WorkingBlock again = takeWorkingBlock(4000);
    EXPECT_EQ(again.as<std::byte>(), largerMemory);
    giveWorkingBlock(std::move(again));
}

// A block held for a use that can no longer come (a window's cross-attention whose encoder
// output is gone) is handed back when another stage wants one and none is idle, and only then.
TEST(WorkingBlocks, ReclaimersRunOnlyWhenNoBlockIsIdle) {
    std::optional<WorkingBlock> held = takeWorkingBlock(3000);
    std::byte* const memory = held->as<std::byte>();
    int runs = 0;
    {
        const WorkingBlockReclaimer reclaimer([&] {
            ++runs;
            if (held) {
                giveWorkingBlock(std::move(*held));
                held.reset();
            }
        });
        WorkingBlock taken = takeWorkingBlock(2000);
        EXPECT_EQ(runs, 1);
        EXPECT_EQ(taken.as<std::byte>(), memory);
        giveWorkingBlock(std::move(taken));

        WorkingBlock idle = takeWorkingBlock(2000);
        EXPECT_EQ(runs, 1);
        giveWorkingBlock(std::move(idle));
    }
    // Gone with its registration.
    WorkingBlock a = takeWorkingBlock(100);
    WorkingBlock b = takeWorkingBlock(100);
    EXPECT_EQ(runs, 1);
}

}  // namespace
