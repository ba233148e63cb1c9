#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace hub {

// What a path monitor reports: whether a usable network path exists, and whether it is costly.
struct NetworkPath {
    bool satisfied = true;
    bool expensive = false;
    bool constrained = false;
};

// A source of network path updates. The system's is NetlinkPathMonitor; tests put in their own.
class NetworkPathMonitor {
public:
    using UpdateHandler = std::function<void(const NetworkPath&)>;

    virtual ~NetworkPathMonitor() = default;

    // Installs `handler` in place of any earlier one and starts delivering updates, the current
    // path first. A monitor that already runs keeps running and delivers to the new handler.
    virtual void start(UpdateHandler handler) = 0;
    // Stops delivering; no update arrives after it returns.
    virtual void cancel() = 0;
};

// Watches the kernel's routing table over rtnetlink: the path is satisfied while a default route
// (IPv4 or IPv6) exists that is neither dead nor on a link that is down. Updates are delivered on
// a thread of the monitor's own.
class NetlinkPathMonitor : public NetworkPathMonitor {
public:
    NetlinkPathMonitor();
    ~NetlinkPathMonitor() override;
    NetlinkPathMonitor(const NetlinkPathMonitor&) = delete;
    NetlinkPathMonitor& operator=(const NetlinkPathMonitor&) = delete;

    void start(UpdateHandler handler) override;
    void cancel() override;

    // One look at the routing table, without watching; false when it cannot be read.
    static bool hasUsableDefaultRoute();

private:
    struct Watcher;
    std::mutex mutex_;
    std::shared_ptr<UpdateHandler> handler_;
    std::unique_ptr<Watcher> watcher_;
};

// The recorded state of the network path. Connected until the first update says otherwise.
class NetworkStateActor {
public:
    void record(const NetworkPath& path);

    bool isConnected() const;
    bool isExpensive() const;
    bool isConstrained() const;

    // False whenever the environment variable CI_DISABLE_NETWORK_MONITOR is exactly "1" (read on
    // every call); otherwise whether the last recorded path was unsatisfied.
    bool shouldUseOfflineMode() const;

private:
    mutable std::mutex mutex_;
    NetworkPath path_;
};

// A path monitor whose updates are recorded in a state that the offline decision reads.
class NetworkMonitor {
public:
    // Watches the system's routing table.
    NetworkMonitor();
    explicit NetworkMonitor(std::unique_ptr<NetworkPathMonitor> monitor);
    ~NetworkMonitor();
    NetworkMonitor(const NetworkMonitor&) = delete;
    NetworkMonitor& operator=(const NetworkMonitor&) = delete;

    // The process-wide monitor, made on first use and kept until the process ends.
    static const std::shared_ptr<NetworkMonitor>& shared();

    // (Re)installs the recording handler and asks the path monitor to run; the recorded state is
    // kept.
    void startMonitoring();

    NetworkStateActor& state() noexcept { return state_; }
    const NetworkStateActor& state() const noexcept { return state_; }

private:
    NetworkStateActor state_;
    std::unique_ptr<NetworkPathMonitor> monitor_;
};

}  // namespace hub
