#include "rararozuvu/transcription/Progress.h"

#include <algorithm>

namespace rararozuvu {

std::shared_ptr<Progress> Progress::make(std::int64_t totalUnitCount) {
    return std::shared_ptr<Progress>(new Progress(totalUnitCount));
}

std::int64_t Progress::totalUnitCount() const {
    std::lock_guard lock(mutex_);
    return total_;
}

std::int64_t Progress::completedUnitCount() const {
    std::lock_guard lock(mutex_);
    return completed_;
}

bool Progress::isFinished() const {
    std::lock_guard lock(mutex_);
    return finishedLocked();
}

void Progress::setTotalUnitCount(std::int64_t count) {
    bool justFinished = false;
    {
        std::lock_guard lock(mutex_);
        total_ = count;
        justFinished = !reportedFinished_ && finishedLocked();
        reportedFinished_ = reportedFinished_ || justFinished;
    }
    if (justFinished)
        notifyParent();
}

void Progress::setCompletedUnitCount(std::int64_t count) {
    bool justFinished = false;
    {
        std::lock_guard lock(mutex_);
        completed_ = count;
        completionSet_ = true;
        justFinished = !reportedFinished_ && finishedLocked();
        reportedFinished_ = reportedFinished_ || justFinished;
    }
    if (justFinished)
        notifyParent();
}

double Progress::fractionCompleted() const {
    std::int64_t total = 0;
    std::int64_t completed = 0;
    std::vector<Child> children;
    {
        std::lock_guard lock(mutex_);
        total = total_;
        completed = completed_;
        children = children_;
    }
    if (total <= 0)
        return 0.0;
    // Children are asked without this lock held: a child reports to its parent under its own.
    double done = static_cast<double>(completed);
    for (const Child& child : children) {
        done += child.progress->fractionCompleted() * static_cast<double>(child.pendingUnitCount);
    }
    return done / static_cast<double>(total);
}

void Progress::addChild(const std::shared_ptr<Progress>& child, std::int64_t pendingUnitCount) {
    bool childDone = false;
    {
        // Taken together so the child cannot finish between the check and the link.
        std::scoped_lock lock(mutex_, child->mutex_);
        child->parent_ = weak_from_this();
        childDone = child->reportedFinished_;
        if (!childDone)
            children_.push_back({child, pendingUnitCount});
    }
    if (childDone)
        addCompletedUnits(pendingUnitCount, nullptr);
}

void Progress::notifyParent() {
    std::shared_ptr<Progress> parent;
    {
        std::lock_guard lock(mutex_);
        parent = parent_.lock();
    }
    if (parent)
        parent->childFinished(this);
}

void Progress::childFinished(const Progress* child) {
    addCompletedUnits(0, child);
}

void Progress::addCompletedUnits(std::int64_t units, const Progress* finishedChild) {
    bool justFinished = false;
    {
        std::lock_guard lock(mutex_);
        if (finishedChild != nullptr) {
            const auto found = std::find_if(
                children_.begin(), children_.end(),
                [finishedChild](const Child& c) { return c.progress.get() == finishedChild; });
            if (found == children_.end())
                return;
            units += found->pendingUnitCount;
            children_.erase(found);
        }
        completed_ += units;
        completionSet_ = true;
        justFinished = !reportedFinished_ && finishedLocked();
        reportedFinished_ = reportedFinished_ || justFinished;
    }
    if (justFinished)
        notifyParent();
}

}  // namespace rararozuvu
