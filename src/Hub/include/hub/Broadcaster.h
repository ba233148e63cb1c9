#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace hub {

// Hands one sequence of values to any number of subscribers, each through a callback of its own.
//
// Invariants:
// - A new subscriber first receives the latest value broadcast, or, before any broadcast, the
//   value of the initial-state producer (nothing when it gives none); then every later value.
// - Every subscriber receives the values in one order, the order in which broadcast() calls ran;
//   deliveries never overlap, so a callback runs on one thread at a time.
// - After Subscription::cancel() (or its destruction) returns, its callback is not running and is
//   never called again. A callback may cancel its own subscription; it must not broadcast or
//   subscribe (that would wait for itself).
// Nothing is buffered for a slow subscriber: broadcast() returns once every callback has.
template <class T>
class Broadcaster {
    // Declared before the subscription that names it: clang looks the name up at that point.
    struct Core;

public:
    using Callback = std::function<void(const T&)>;
    using InitialState = std::function<std::optional<T>()>;

    // One subscriber's registration; dropping it unsubscribes.
    class Subscription {
    public:
        Subscription() = default;
        ~Subscription() { cancel(); }
        Subscription(Subscription&& other) noexcept
            : core_(std::move(other.core_)), id_(std::exchange(other.id_, 0)) {}
        Subscription& operator=(Subscription&& other) noexcept {
            if (this != &other) {
                cancel();
                core_ = std::move(other.core_);
                id_ = std::exchange(other.id_, 0);
            }
            return *this;
        }
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;

        void cancel() {
            if (auto core = core_.lock()) {
                core->unsubscribe(id_);
            }
            core_.reset();
        }

    private:
        friend class Broadcaster;
        Subscription(std::weak_ptr<typename Broadcaster::Core> core, std::uint64_t id)
            : core_(std::move(core)), id_(id) {}

        std::weak_ptr<typename Broadcaster::Core> core_;
        std::uint64_t id_ = 0;
    };

    explicit Broadcaster(InitialState initialState)
        : core_(std::make_shared<Core>(std::move(initialState))) {}

    // Registers `callback` and, before returning, hands it the latest value (or the initial one).
    [[nodiscard]] Subscription subscribe(Callback callback) {
        return Subscription(core_, core_->subscribe(std::move(callback)));
    }

    void broadcast(const T& value) { core_->broadcast(value); }

    std::optional<T> latestState() const {
        std::lock_guard lock(core_->stateMutex);
        return core_->latest;
    }

private:
    struct Subscriber {
        Callback callback;
        std::atomic<bool> active{true};
    };

    struct Core {
        explicit Core(InitialState producer) : initialState(std::move(producer)) {}

        std::uint64_t subscribe(Callback callback) {
            auto subscriber = std::make_shared<Subscriber>();
            subscriber->callback = std::move(callback);
            // Registration and replay happen under the delivery lock, so no broadcast can slip
            // between them: the replayed value is the one just before the first delivered.
            Delivering delivering(*this);
            std::optional<T> replay;
            std::uint64_t id = 0;
            {
                std::lock_guard lock(stateMutex);
                id = ++lastId;
                subscribers.emplace(id, subscriber);
                replay = latest;
            }
            if (!replay && initialState) {
                replay = initialState();
            }
            if (replay) {
                subscriber->callback(*replay);
            }
            return id;
        }

        void broadcast(const T& value) {
            Delivering delivering(*this);
            std::vector<std::shared_ptr<Subscriber>> receivers;
            {
                std::lock_guard lock(stateMutex);
                latest = value;
                receivers.reserve(subscribers.size());
                for (const auto& entry : subscribers) {
                    receivers.push_back(entry.second);
                }
            }
            for (const auto& receiver : receivers) {
                if (receiver->active.load()) {
                    receiver->callback(value);
                }
            }
        }

        void unsubscribe(std::uint64_t id) {
            std::shared_ptr<Subscriber> removed;
            {
                std::lock_guard lock(stateMutex);
                const auto found = subscribers.find(id);
                if (found == subscribers.end()) {
                    return;
                }
                removed = std::move(found->second);
                subscribers.erase(found);
            }
            removed->active.store(false);
            // A delivery on another thread may be inside this callback right now: wait for it to
            // end. From inside a delivery (a callback cancelling itself) there is nothing to wait
            // for.
            if (deliveringThread.load() != std::this_thread::get_id()) {
                std::lock_guard wait(deliveryMutex);
            }
        }

        // Holds the delivery lock and records which thread delivers.
        class Delivering {
        public:
            explicit Delivering(Core& core) : core_(core), lock_(core.deliveryMutex) {
                core_.deliveringThread.store(std::this_thread::get_id());
            }
            ~Delivering() { core_.deliveringThread.store(std::thread::id()); }
            Delivering(const Delivering&) = delete;
            Delivering& operator=(const Delivering&) = delete;

        private:
            Core& core_;
            std::lock_guard<std::mutex> lock_;
        };

        const InitialState initialState;
        std::mutex deliveryMutex;
        std::atomic<std::thread::id> deliveringThread;
        mutable std::mutex stateMutex;
        std::optional<T> latest;
        std::map<std::uint64_t, std::shared_ptr<Subscriber>> subscribers;
        std::uint64_t lastId = 0;
    };

    std::shared_ptr<Core> core_;
};

}  // namespace hub
