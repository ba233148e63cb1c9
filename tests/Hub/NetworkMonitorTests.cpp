#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>

#include "TestSupport.h"
#include "hub/HubApi.h"

namespace hub {
namespace {

using testing::FakePathMonitor;
using testing::ScopedEnvironment;

TEST(NetworkMonitor, RecordsTheLatestPathAndStaysConnectedUntilTold) {
    ScopedEnvironment environment;
    environment.set("CI_DISABLE_NETWORK_MONITOR", std::nullopt);
    auto paths = std::make_unique<FakePathMonitor>();
    FakePathMonitor& fake = *paths;
    NetworkMonitor monitor(std::move(paths));
    EXPECT_EQ(fake.starts(), 1);
    EXPECT_FALSE(monitor.state().shouldUseOfflineMode());

    fake.report({true, true, true});  // costly but usable
    EXPECT_FALSE(monitor.state().shouldUseOfflineMode());
    EXPECT_TRUE(monitor.state().isExpensive());
    EXPECT_TRUE(monitor.state().isConstrained());

    fake.report({false, false, false});
    EXPECT_TRUE(monitor.state().shouldUseOfflineMode());

    // Restarting keeps what was recorded and goes on recording.
    monitor.startMonitoring();
    monitor.startMonitoring();
    EXPECT_EQ(fake.starts(), 3);
    EXPECT_TRUE(monitor.state().shouldUseOfflineMode());
    fake.report({true, false, false});
    EXPECT_FALSE(monitor.state().shouldUseOfflineMode());
}

TEST(NetworkMonitor, EveryClientKeepsTheSharedMonitorRunning) {
    const std::shared_ptr<NetworkMonitor>& shared = NetworkMonitor::shared();
    for (int i = 0; i < 3; ++i) {
        const HubApi client({.hubToken = "t"});
        EXPECT_EQ(client.networkMonitor(), shared);
    }
    EXPECT_EQ(HubApi::shared().networkMonitor(), shared);
}

// Collects the updates of a real routing-table monitor.
class RecordedPaths {
public:
    void add(const NetworkPath& path) {
        std::lock_guard lock(mutex_);
        paths_.push_back(path);
        arrived_.notify_all();
    }
    // The next update; none when nothing comes for a long while.
    std::optional<NetworkPath> next() {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, std::chrono::seconds(20), [&] { return !paths_.empty(); })) {
            return std::nullopt;
        }
        const NetworkPath path = paths_.front();
        paths_.pop_front();
        return path;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<NetworkPath> paths_;
};

// Runs in a child process inside a network namespace of its own, which has no route at all.
// Exit codes: 0 all seen, 2-5 the step that failed.
[[noreturn]] void watchRoutesInEmptyNamespace() {
    RecordedPaths recorded;
    NetlinkPathMonitor monitor;
    monitor.start([&](const NetworkPath& path) { recorded.add(path); });
    const std::optional<NetworkPath> first = recorded.next();
    if (!first || first->satisfied || NetlinkPathMonitor::hasUsableDefaultRoute()) {
        _exit(2);
    }
    // A default route through loopback: usable as far as the routing table says, and it sends
    // nothing anywhere.
    if (std::system("ip link set lo up && ip route add default dev lo") != 0) {
        _exit(3);
    }
    const std::optional<NetworkPath> second = recorded.next();
    if (!second || !second->satisfied) {
        _exit(4);
    }
    if (std::system("ip route del default dev lo") != 0) {
        _exit(3);
    }
    const std::optional<NetworkPath> third = recorded.next();
    monitor.cancel();
    _exit(third && !third->satisfied ? 0 : 5);
}

TEST(NetlinkPathMonitor, FollowsTheDefaultRouteOfItsNetworkNamespace) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0) {
            _exit(77);
        }
        watchRoutesInEmptyNamespace();
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "no permission to make a network namespace";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: an empty namespace looked online, 3: ip failed, "
                                         "4: a new default route went unseen, 5: its removal";
}

}  // namespace
}  // namespace hub
