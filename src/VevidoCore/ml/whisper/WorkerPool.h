#pragma once

// The kernels' own fork-join pool. A decoder step issues a few dozen short parallel loops of a
// few microseconds each, so workers spin briefly between jobs before they sleep, and a job is
// handed out through one atomic word rather than a queue.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace ml::whisper {

class WorkerPool {
public:
    // The process-wide pool with one participant per hardware thread (the caller included).
    // Started by the first window, not at model load: the command-line tool loads the audio
    // libraries on another thread beside the model, and a thread created while the dynamic loader
    // works waits for it to finish.
    static WorkerPool& shared();

    explicit WorkerPool(std::size_t participants);
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool();

    std::size_t participants() const { return workers_.size() + 1; }

    // Calls body(i) once for every i in [0, tasks) across the workers and the calling thread and
    // returns when all calls are done. When another thread is already running a job on this
    // pool, the tasks run on the calling thread instead of waiting. If a call throws, the other
    // calls still run and the first exception is rethrown here.
    template <typename F>
    void run(std::size_t tasks, F&& body) {
        using Body = std::remove_reference_t<F>;
        run(tasks, &body, [](void* b, std::size_t i) { (*static_cast<Body*>(b))(i); });
    }

private:
    using Trampoline = void (*)(void*, std::size_t);
    void run(std::size_t tasks, void* body, Trampoline call);
    void workerLoop(std::uint32_t seen);
    // Claims and runs tasks of the job published in `state`; false when it was no longer open.
    void drain(std::uint64_t seen);
    void invoke(Trampoline call, void* body, std::size_t index);

    static constexpr std::uint32_t kClosed = 0xffffffffu;

    std::vector<std::thread> workers_;
    std::mutex caller_;
    // High 32 bits: job generation; low 32 bits: next task index (kClosed between jobs).
    std::atomic<std::uint64_t> state_{kClosed};
    std::atomic<std::uint32_t> generation_{0};  // what sleeping workers wait on
    std::atomic<void*> body_{nullptr};
    std::atomic<Trampoline> call_{nullptr};
    std::atomic<std::uint32_t> tasks_{0};
    std::atomic<std::uint32_t> done_{0};
    std::atomic<bool> stop_{false};
    std::mutex errorMutex_;
    std::exception_ptr error_;  // the first exception of the current job
};

}  // namespace ml::whisper
