#include "WorkerPool.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ML_CPU_RELAX() _mm_pause()
#else
#define ML_CPU_RELAX() std::this_thread::yield()
#endif

namespace ml::whisper {

namespace {
// How long an idle worker keeps spinning before it sleeps: longer than the gaps between the
// parallel loops of one decoder step, short enough not to burn a core between steps.
constexpr auto kSpin = std::chrono::microseconds(50);
}  // namespace

WorkerPool& WorkerPool::shared() {
    static WorkerPool pool(std::max(1u, std::thread::hardware_concurrency()));
    return pool;
}

WorkerPool::WorkerPool(std::size_t participants) {
    // Workers start from the generation of construction, not from whatever they read when they
    // first run: a worker scheduled late must still notice every job and the shutdown.
    const std::uint32_t initial = generation_.load();
    for (std::size_t i = 1; i < participants; ++i) {
        workers_.emplace_back([this, initial] { workerLoop(initial); });
    }
}

WorkerPool::~WorkerPool() {
    stop_.store(true);
    generation_.fetch_add(1);
    generation_.notify_all();
    for (auto& w : workers_)
        w.join();
}

void WorkerPool::drain(std::uint64_t seen) {
    // Every access is sequentially consistent: a worker that read the job's fields and then won
    // the compare-exchange on the still-open generation is guaranteed to have read that job's
    // fields, because the caller closes `state_` before it writes the next job's.
    for (;;) {
        std::uint64_t s = state_.load();
        if ((s >> 32) != (seen >> 32))
            return;
        const auto index = static_cast<std::uint32_t>(s);
        void* body = body_.load();
        const Trampoline call = call_.load();
        if (index >= tasks_.load())
            return;
        if (!state_.compare_exchange_weak(s, s + 1))
            continue;
        invoke(call, body, index);
        done_.fetch_add(1);
    }
}

void WorkerPool::invoke(Trampoline call, void* body, std::size_t index) {
    try {
        call(body, index);
    } catch (...) {
        std::lock_guard<std::mutex> lock(errorMutex_);
        if (!error_)
            error_ = std::current_exception();
    }
}

void WorkerPool::workerLoop(std::uint32_t seen) {
    for (;;) {
        const auto spinUntil = std::chrono::steady_clock::now() + kSpin;
        for (unsigned n = 1; generation_.load(std::memory_order_acquire) == seen; ++n) {
            if ((n & 63u) == 0 && std::chrono::steady_clock::now() > spinUntil) {
                generation_.wait(seen);
            } else {
                ML_CPU_RELAX();
            }
        }
        // Generation first, then the stop flag: the destructor sets the flag before it moves the
        // generation on, so a worker that sees the final generation also sees the flag.
        seen = generation_.load();
        if (stop_.load())
            return;
        drain(static_cast<std::uint64_t>(seen) << 32);
    }
}

void WorkerPool::run(std::size_t tasks, void* body, Trampoline call) {
    const auto serial = [&] {
        std::exception_ptr first;
        for (std::size_t i = 0; i < tasks; ++i) {
            try {
                call(body, i);
            } catch (...) {
                if (!first)
                    first = std::current_exception();
            }
        }
        if (first)
            std::rethrow_exception(first);
    };
    if (tasks <= 1 || workers_.empty() || tasks >= kClosed) {
        serial();
        return;
    }
    std::unique_lock<std::mutex> lock(caller_, std::try_to_lock);
    if (!lock.owns_lock()) {
        serial();
        return;
    }
    const auto count = static_cast<std::uint32_t>(tasks);
    const std::uint64_t generation = (state_.load() >> 32) + 1;
    body_.store(body);
    call_.store(call);
    tasks_.store(count);
    done_.store(0);
    state_.store(generation << 32);
    generation_.store(static_cast<std::uint32_t>(generation));
    generation_.notify_all();

    drain(generation << 32);
    for (unsigned n = 1; done_.load() != count; ++n) {
        if ((n & 1023u) == 0) {
            std::this_thread::yield();  // a worker holding the last task may have been preempted
        } else {
            ML_CPU_RELAX();
        }
    }
    state_.store((generation << 32) | kClosed);
    std::exception_ptr error;
    {
        std::lock_guard<std::mutex> errorLock(errorMutex_);
        error = std::exchange(error_, nullptr);
    }
    if (error)
        std::rethrow_exception(error);
}

}  // namespace ml::whisper
