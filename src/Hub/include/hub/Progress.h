#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace hub {

// A unit count towards a total, with children that each stand for a share ("pending units") of
// their parent's total. A parent's fraction completed counts each unfinished child's fraction of
// its share; a child that reaches its total adds its whole share to the parent's completed count.
// The download speed, once known, rides along as the throughput. Safe to use from several
// threads.
class Progress {
public:
    explicit Progress(std::int64_t totalUnitCount = 0) : totalUnitCount_(totalUnitCount) {}
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    std::int64_t totalUnitCount() const;
    // Its own count plus the shares of the children that have finished.
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t count);
    // 0 when the total is 0 or less.
    double fractionCompleted() const;
    bool isFinished() const;

    // `child` stands for `pendingUnitCount` units of this progress from now on.
    void addChild(std::shared_ptr<Progress> child, std::int64_t pendingUnitCount);

    // Bytes per second; absent until first set, then the last value set.
    std::optional<double> throughput() const;
    void setThroughput(double bytesPerSecond);

private:
    struct Child {
        std::shared_ptr<Progress> progress;
        std::int64_t pendingUnitCount;
    };

    std::int64_t completedLocked() const;

    mutable std::mutex mutex_;
    std::int64_t totalUnitCount_;
    std::int64_t completedUnitCount_ = 0;
    std::vector<Child> children_;
    std::optional<double> throughput_;
};

}  // namespace hub
