#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace rararozuvu {

// How far a piece of work has come, in units the work chooses (samples of audio, files of a
// download). A progress may stand for part of a larger one: added as a child with a number of
// the parent's units, it hands those units to the parent when it finishes.
//
// Safe to use from several threads at once: concurrent transcriptions report into one parent.
// Make every progress with make(), so a child can reach its parent.
class Progress : public std::enable_shared_from_this<Progress> {
public:
    static std::shared_ptr<Progress> make(std::int64_t totalUnitCount = 0);

    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    std::int64_t totalUnitCount() const;
    void setTotalUnitCount(std::int64_t count);
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t count);

    // Whether the completed count has reached the total. A progress whose total is 0 finishes
    // when its completed count is set, even to 0: work that had nothing to do is done once it
    // says so.
    bool isFinished() const;
    // The completed share, counting the share each unfinished child has done of its units; 0
    // while the total is 0.
    double fractionCompleted() const;

    // Makes `child` stand for `pendingUnitCount` units of this progress. A child that is already
    // finished hands them over at once.
    void addChild(const std::shared_ptr<Progress>& child, std::int64_t pendingUnitCount);

private:
    explicit Progress(std::int64_t totalUnitCount) : total_(totalUnitCount) {}

    struct Child {
        std::shared_ptr<Progress> progress;
        std::int64_t pendingUnitCount;
    };

    bool finishedLocked() const { return completed_ >= total_ && (total_ > 0 || completionSet_); }
    // Called without any lock held once this progress has just finished.
    void notifyParent();
    void childFinished(const Progress* child);
    // Adds `units`, and the pending units of `finishedChild` when one is given (which then leaves
    // the children), to the completed count.
    void addCompletedUnits(std::int64_t units, const Progress* finishedChild);

    mutable std::mutex mutex_;
    std::int64_t total_ = 0;
    std::int64_t completed_ = 0;
    bool completionSet_ = false;
    bool reportedFinished_ = false;
    std::vector<Child> children_;
    std::weak_ptr<Progress> parent_;
};

}  // namespace rararozuvu
