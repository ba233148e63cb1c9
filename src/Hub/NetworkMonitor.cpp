#include "hub/NetworkMonitor.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>

#include "UniqueFd.h"

namespace hub {

namespace {

using detail::UniqueFd;

bool usableDefaultRoute(const nlmsghdr* header) {
    const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
    if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST ||
        (route->rtm_flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN)) != 0) {
        return false;
    }
    unsigned table = route->rtm_table;
    bool leadsSomewhere = false;
    int length = static_cast<int>(RTM_PAYLOAD(header));
    for (const rtattr* attribute = RTM_RTA(route); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
        switch (attribute->rta_type) {
            case RTA_TABLE:
                std::memcpy(&table, RTA_DATA(attribute), sizeof(table));
                break;
            case RTA_OIF:
            case RTA_GATEWAY:
            case RTA_MULTIPATH:
            case RTA_VIA:
                leadsSomewhere = true;
                break;
            default:
                break;
        }
    }
    return table == RT_TABLE_MAIN && leadsSomewhere;
}

// Dumps the routing table once; no value when it cannot be read.
std::optional<bool> readDefaultRoute() {
    UniqueFd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!socket) {
        return std::nullopt;
    }
    struct {
        nlmsghdr header;
        rtmsg message;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.message.rtm_family = AF_UNSPEC;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket.get(), &request, request.header.nlmsg_len, 0,
                 reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel)) < 0) {
        return std::nullopt;
    }
    alignas(nlmsghdr) std::array<char, 32768> buffer;
    bool found = false;
    for (;;) {
        const ssize_t received = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (received == 0) {
            return std::nullopt;
        }
        auto length = static_cast<unsigned>(received);
        for (auto* header = reinterpret_cast<const nlmsghdr*>(buffer.data());
             NLMSG_OK(header, length); header = NLMSG_NEXT(header, length)) {
            if (header->nlmsg_type == NLMSG_DONE) {
                return found;
            }
            if (header->nlmsg_type == NLMSG_ERROR) {
                return std::nullopt;
            }
            if (header->nlmsg_type == RTM_NEWROUTE && usableDefaultRoute(header)) {
                found = true;
            }
        }
    }
}

}  // namespace

// The thread that listens for routing changes, with its wake-up for cancelling.
struct NetlinkPathMonitor::Watcher {
    UniqueFd events;
    UniqueFd stop;
    std::thread thread;
};

NetlinkPathMonitor::NetlinkPathMonitor() = default;

NetlinkPathMonitor::~NetlinkPathMonitor() {
    cancel();
}

bool NetlinkPathMonitor::hasUsableDefaultRoute() {
    return readDefaultRoute().value_or(false);
}

void NetlinkPathMonitor::start(UpdateHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::make_shared<UpdateHandler>(std::move(handler));
    if (watcher_) {
        return;
    }
    auto watcher = std::make_unique<Watcher>();
    watcher->events.reset(
        ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    watcher->stop.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!watcher->events || !watcher->stop) {
        return;  // no routing information to be had: the recorded state stays as it is
    }
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(watcher->events.get(), reinterpret_cast<const sockaddr*>(&groups), sizeof(groups)) !=
        0) {
        return;
    }
    const int events = watcher->events.get();
    const int stop = watcher->stop.get();
    watcher->thread = std::thread([this, events, stop] {
        const auto deliver = [this](bool satisfied) {
            std::shared_ptr<UpdateHandler> current;
            {
                std::lock_guard lock(mutex_);
                current = handler_;
            }
            if (current && *current) {
                (*current)(NetworkPath{satisfied, false, false});
            }
        };
        std::optional<bool> last = readDefaultRoute();
        if (last) {
            deliver(*last);
        }
        std::array<pollfd, 2> waits{pollfd{events, POLLIN, 0}, pollfd{stop, POLLIN, 0}};
        alignas(nlmsghdr) std::array<char, 8192> drain;
        for (;;) {
            if (::poll(waits.data(), waits.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (waits[1].revents != 0) {
                return;
            }
            // The messages only say that something changed; the table is read whole afterwards.
            // An overrun (ENOBUFS) means the same.
            while (::recv(events, drain.data(), drain.size(), 0) > 0 || errno == ENOBUFS) {
            }
            const std::optional<bool> now = readDefaultRoute();
            if (now && now != last) {
                last = now;
                deliver(*now);
            }
        }
    });
    watcher_ = std::move(watcher);
}

void NetlinkPathMonitor::cancel() {
    std::unique_ptr<Watcher> watcher;
    {
        std::lock_guard lock(mutex_);
        watcher = std::move(watcher_);
        handler_.reset();
    }
    if (watcher && watcher->thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(watcher->stop.get(), &one, sizeof(one));
        watcher->thread.join();
    }
}

void NetworkStateActor::record(const NetworkPath& path) {
    std::lock_guard lock(mutex_);
    path_ = path;
}

bool NetworkStateActor::isConnected() const {
    std::lock_guard lock(mutex_);
    return path_.satisfied;
}

bool NetworkStateActor::isExpensive() const {
    std::lock_guard lock(mutex_);
    return path_.expensive;
}

bool NetworkStateActor::isConstrained() const {
    std::lock_guard lock(mutex_);
    return path_.constrained;
}

bool NetworkStateActor::shouldUseOfflineMode() const {
    if (const char* value = std::getenv("CI_DISABLE_NETWORK_MONITOR");
        value != nullptr && std::string_view(value) == "1") {
        return false;
    }
    return !isConnected();
}

NetworkMonitor::NetworkMonitor() : NetworkMonitor(std::make_unique<NetlinkPathMonitor>()) {}

NetworkMonitor::NetworkMonitor(std::unique_ptr<NetworkPathMonitor> monitor)
    : monitor_(std::move(monitor)) {
    startMonitoring();
}

NetworkMonitor::~NetworkMonitor() {
    monitor_->cancel();
}

const std::shared_ptr<NetworkMonitor>& NetworkMonitor::shared() {
    static const std::shared_ptr<NetworkMonitor> monitor = std::make_shared<NetworkMonitor>();
    return monitor;
}

void NetworkMonitor::startMonitoring() {
    monitor_->start([this](const NetworkPath& path) { state_.record(path); });
}

}  // namespace hub
