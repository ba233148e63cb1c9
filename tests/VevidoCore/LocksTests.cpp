#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "vevidocore/EarlyStopActor.h"
#include "vevidocore/PropertyLock.h"
#include "vevidocore/UUID.h"
#include "vevidocore/UnfairLock.h"
#include "vevidocore/VevidoCoreError.h"

namespace vevidocore {
namespace {

TEST(UnfairLockTest, ReturnsTheBodysResultAndReleasesOnError) {
    UnfairLock lock;
    EXPECT_EQ(lock.withLock([] { return 42; }), 42);

    EXPECT_THROW(lock.withLock([]() -> int { throw std::runtime_error("body failed"); }),
                 std::runtime_error);
    // Still free: a lock left held would block here.
    EXPECT_EQ(lock.withLock([] { return std::string("again"); }), "again");
}

TEST(PropertyLockTest, ConcurrentModificationsAreNeverLost) {
    PropertyLock<long> counter = 0;
    PropertyLock<std::vector<int>> list;
    constexpr int threadCount = 8;
    constexpr int increments = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < increments; ++i) {
                counter.modify([](long& value) { ++value; });
                if (i % 100 == 0) {
                    list.modify([&](std::vector<int>& values) { values.push_back(t); });
                }
                // Plain reads and writes of another wrapper interleave with the modifications.
                (void)list.wrappedValue().size();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter.wrappedValue(), static_cast<long>(threadCount) * increments);
    EXPECT_EQ(list.wrappedValue().size(), static_cast<std::size_t>(threadCount * increments / 100));
}

TEST(PropertyLockTest, ModifyReturnsTheResultAndKeepsAPartialChangeOnError) {
    PropertyLock<std::vector<int>> list(std::vector<int>{1});
    EXPECT_EQ(list.modify([](std::vector<int>& v) {
        v.push_back(2);
        return v.size();
    }),
              2u);
    EXPECT_THROW(list.modify([](std::vector<int>& v) {
        v.push_back(3);
        throw std::runtime_error("stopped halfway");
    }),
                 std::runtime_error);
    EXPECT_EQ(list.wrappedValue(), (std::vector<int>{1, 2, 3}));
    // The lock was released by the failed modification.
    list.setWrappedValue({4});
    EXPECT_EQ(list.withValue([](const std::vector<int>& v) { return v.front(); }), 4);
}

TEST(PropertyLockTest, CopiesHoldIndependentValues) {
    struct Record {
        PropertyLock<std::string> text{std::string("first")};
    };
    Record original;
    Record copy = original;
    copy.text = std::string("changed");
    EXPECT_EQ(original.text.wrappedValue(), "first");
    EXPECT_EQ(copy.text.wrappedValue(), "changed");

    Record assigned;
    assigned = copy;
    original.text.setWrappedValue("again");
    EXPECT_EQ(assigned.text.wrappedValue(), "changed");

    Record moved = std::move(copy);
    EXPECT_EQ(moved.text.wrappedValue(), "changed");
}

TEST(EarlyStopActorTest, FlagLifecycle) {
    EarlyStopActor flags;
    const UUID window = UUID::random();
    const UUID other = UUID::random();
    EXPECT_FALSE(flags.get(window));
    flags.set(true, window);
    flags.set(false, other);
    EXPECT_TRUE(flags.get(window));
    EXPECT_FALSE(flags.get(other));
    EXPECT_EQ(flags.remove(window), true);
    EXPECT_FALSE(flags.get(window));
    EXPECT_EQ(flags.remove(window), std::nullopt);
    EXPECT_EQ(flags.remove(other), false);
}

TEST(EarlyStopActorTest, FlagSetOnOneThreadIsSeenOnAnother) {
    EarlyStopActor flags;
    const UUID window = UUID::random();
    flags.set(false, window);
    std::thread stopper([&] { flags.set(true, window); });
    stopper.join();
    EXPECT_TRUE(flags.get(window));
}

TEST(UUIDTest, RandomIdentifiersAreVersionFourAndDistinct) {
    std::unordered_set<UUID> seen;
    for (int i = 0; i < 1000; ++i) {
        const UUID id = UUID::random();
        EXPECT_EQ(id.bytes()[6] >> 4, 4);
        EXPECT_EQ(id.bytes()[8] >> 6, 2);
        EXPECT_TRUE(seen.insert(id).second);
    }
    EXPECT_NE(UUID::random(), UUID());
}

TEST(UUIDTest, TextIsUpperCaseInFiveGroups) {
    const UUID id(UUID::Bytes{0xE6, 0x21, 0xE1, 0xF8, 0xC3, 0x6C, 0x49, 0x5A, 0x93, 0xFC, 0x0C,
                              0x24, 0x7A, 0x3E, 0x6E, 0x5F});
    EXPECT_EQ(id.uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(UUID().uuidString(), "00000000-0000-0000-0000-000000000000");
}

TEST(VevidoCoreErrorTest, DescriptionIsTheMessage) {
    const auto error = VevidoCoreError::invalidConfiguration("No model folder configured");
    EXPECT_EQ(error.errorCase(), VevidoCoreError::Case::invalidConfiguration);
    EXPECT_EQ(error.errorDescription(), "No model folder configured");
    EXPECT_STREQ(error.what(), "No model folder configured");
    EXPECT_EQ(error, VevidoCoreError::invalidConfiguration("No model folder configured"));
}

}  // namespace
}  // namespace vevidocore
