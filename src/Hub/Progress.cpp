#include "hub/Progress.h"

namespace hub {

std::int64_t Progress::totalUnitCount() const {
    std::lock_guard lock(mutex_);
    return totalUnitCount_;
}

std::int64_t Progress::completedUnitCount() const {
    std::lock_guard lock(mutex_);
    return completedLocked();
}

std::int64_t Progress::completedLocked() const {
    std::int64_t completed = completedUnitCount_;
    for (const Child& child : children_) {
        if (child.progress->isFinished()) {
            completed += child.pendingUnitCount;
        }
    }
    return completed;
}

void Progress::setCompletedUnitCount(std::int64_t count) {
    std::lock_guard lock(mutex_);
    completedUnitCount_ = count;
}

double Progress::fractionCompleted() const {
    std::lock_guard lock(mutex_);
    if (totalUnitCount_ <= 0) {
        return 0;
    }
    double completed = static_cast<double>(completedUnitCount_);
    for (const Child& child : children_) {
        const double share = static_cast<double>(child.pendingUnitCount);
        completed +=
            child.progress->isFinished() ? share : share * child.progress->fractionCompleted();
    }
    return completed / static_cast<double>(totalUnitCount_);
}

bool Progress::isFinished() const {
    std::lock_guard lock(mutex_);
    return totalUnitCount_ > 0 && completedLocked() >= totalUnitCount_;
}

void Progress::addChild(std::shared_ptr<Progress> child, std::int64_t pendingUnitCount) {
    std::lock_guard lock(mutex_);
    children_.push_back({std::move(child), pendingUnitCount});
}

std::optional<double> Progress::throughput() const {
    std::lock_guard lock(mutex_);
    return throughput_;
}

void Progress::setThroughput(double bytesPerSecond) {
    std::lock_guard lock(mutex_);
    throughput_ = bytesPerSecond;
}

}  // namespace hub
