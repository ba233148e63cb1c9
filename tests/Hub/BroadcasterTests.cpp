#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "hub/Broadcaster.h"

namespace hub {
namespace {

// What one subscriber received.
class Received {
public:
    Broadcaster<int>::Callback callback() {
        return [this](const int& value) {
            std::lock_guard lock(mutex_);
            values_.push_back(value);
        };
    }
    std::vector<int> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<int> values_;
};

TEST(Broadcaster, ASubscriberStartsWithTheLatestValueOrTheInitialOne) {
    Broadcaster<int> broadcaster([] { return std::optional(0); });
    Received early;
    const auto earlySubscription = broadcaster.subscribe(early.callback());
    EXPECT_EQ(early.values(), std::vector<int>{0});

    broadcaster.broadcast(1);
    broadcaster.broadcast(2);
    Received late;
    const auto lateSubscription = broadcaster.subscribe(late.callback());
    broadcaster.broadcast(3);
    EXPECT_EQ(early.values(), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(late.values(), (std::vector<int>{2, 3}));  // earlier values are not replayed

    Broadcaster<int> silent([] { return std::optional<int>(); });
    Received waiting;
    const auto waitingSubscription = silent.subscribe(waiting.callback());
    EXPECT_TRUE(waiting.values().empty());
    silent.broadcast(7);
    EXPECT_EQ(waiting.values(), std::vector<int>{7});
}

TEST(Broadcaster, SubscribersSeeConcurrentBroadcastsInOneOrder) {
    Broadcaster<int> broadcaster([] { return std::optional<int>(); });
    Received first;
    Received second;
    const auto a = broadcaster.subscribe(first.callback());
    const auto b = broadcaster.subscribe(second.callback());
    {
        std::vector<std::jthread> senders;
        for (int sender = 0; sender < 4; ++sender) {
            senders.emplace_back([&broadcaster, sender] {
                for (int i = 0; i < 200; ++i) {
                    broadcaster.broadcast(sender * 1000 + i);
                }
            });
        }
    }
    EXPECT_EQ(first.values().size(), 800u);
    EXPECT_EQ(first.values(), second.values());
    EXPECT_EQ(broadcaster.latestState(), first.values().back());
}

TEST(Broadcaster, ACancelledSubscriptionHearsNothingMore) {
    Broadcaster<int> broadcaster([] { return std::optional(0); });
    Received kept;
    Received dropped;
    const auto keptSubscription = broadcaster.subscribe(kept.callback());
    {
        const auto droppedSubscription = broadcaster.subscribe(dropped.callback());
        broadcaster.broadcast(1);
    }
    broadcaster.broadcast(2);
    EXPECT_EQ(dropped.values(), (std::vector<int>{0, 1}));
    EXPECT_EQ(kept.values(), (std::vector<int>{0, 1, 2}));

    // A callback may end its own subscription, as a reader does at a final state.
    std::vector<int> untilThree;
    Broadcaster<int>::Subscription self;
    self = broadcaster.subscribe([&](const int& value) {
        untilThree.push_back(value);
        if (value == 3) {
            self.cancel();
        }
    });
    broadcaster.broadcast(3);
    broadcaster.broadcast(4);
    EXPECT_EQ(untilThree, (std::vector<int>{2, 3}));
}

}  // namespace
}  // namespace hub
