#include "WorkerPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using ml::whisper::WorkerPool;

TEST(WorkerPool, EveryTaskRunsExactlyOnceAcrossManyJobs) {
    WorkerPool pool(4);
    EXPECT_EQ(pool.participants(), 4u);
    // Many short jobs back to back: a worker that wakes late must never run a task of the next
    // job with the previous job's body, or run a task twice.
    for (std::size_t job = 0; job < 3000; ++job) {
        const std::size_t tasks = job % 37;
        std::vector<std::atomic<int>> runs(tasks);
        pool.run(tasks, [&](std::size_t i) { runs[i].fetch_add(1); });
        for (std::size_t i = 0; i < tasks; ++i)
            ASSERT_EQ(runs[i].load(), 1) << job << "/" << i;
    }
}

TEST(WorkerPool, ConcurrentCallersAllFinish) {
    WorkerPool pool(3);
    std::vector<std::thread> callers;
    std::vector<long> sums(4, 0);
    for (std::size_t c = 0; c < 4; ++c) {
        callers.emplace_back([&, c] {
            for (int job = 0; job < 200; ++job) {
                std::vector<std::atomic<long>> parts(50);
                pool.run(50, [&](std::size_t i) { parts[i] = static_cast<long>(i); });
                for (auto& p : parts)
                    sums[c] += p.load();
            }
        });
    }
    for (auto& t : callers)
        t.join();
    for (long s : sums)
        EXPECT_EQ(s, 200L * (49 * 50 / 2));
}

TEST(WorkerPool, TheFirstExceptionReachesTheCallerAfterTheOtherTasks) {
    WorkerPool pool(4);
    for (const std::size_t tasks : {1u, 64u}) {
        std::atomic<int> ran{0};
        EXPECT_THROW(pool.run(tasks,
                              [&](std::size_t i) {
                                  ran.fetch_add(1);
                                  if (i == tasks - 1)
                                      throw std::runtime_error("task failed");
                              }),
                     std::runtime_error);
        EXPECT_EQ(ran.load(), static_cast<int>(tasks));
    }
    std::atomic<int> ran{0};
    pool.run(10, [&](std::size_t) { ran.fetch_add(1); });  // still usable
    EXPECT_EQ(ran.load(), 10);
}

}  // namespace
