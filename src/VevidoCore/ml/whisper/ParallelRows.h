#pragma once

#include <algorithm>
#include <cstddef>

#include "WorkerPool.h"

namespace ml::whisper {

// Splits [0, rows) into contiguous blocks, a few per pool participant so that a slow thread does
// not hold up the rest, and calls body(begin, end) for each block.
template <typename F>
void parallelRows(std::size_t rows, F&& body, std::size_t minRowsPerTask = 1) {
    WorkerPool& pool = WorkerPool::shared();
    const std::size_t wanted = 4 * pool.participants();
    const std::size_t perTask = std::max(minRowsPerTask, (rows + wanted - 1) / wanted);
    const std::size_t tasks = (rows + perTask - 1) / perTask;
    pool.run(tasks, [&](std::size_t task) {
        const std::size_t begin = task * perTask;
        body(begin, std::min(rows, begin + perTask));
    });
}

}  // namespace ml::whisper
