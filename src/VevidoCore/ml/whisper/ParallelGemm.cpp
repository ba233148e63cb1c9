#include "ParallelGemm.h"

#include <sched.h>

#include <mutex>

#include "ml/PageBuffer.h"
#include "vevidocore/SharedLibrary.h"

namespace ml::whisper {

namespace {

std::mutex blasThreadsMutex;
vevidocore::LoadOnce blasLoading;
Blas blasFunctions;

void loadBlas() {
    // OpenBLAS starts a thread per processor the loading thread may run on, which costs several
    // milliseconds, and every product here runs on one of the pool's threads instead. Holding the
    // loading thread to one processor while it loads keeps it from starting any; the user's own
    // choice of processors comes back right after.
    cpu_set_t allowed;
    bool held = false;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        const int current = sched_getcpu();
        if (current >= 0 && current < CPU_SETSIZE && CPU_ISSET(current, &allowed)) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(current, &one);
            held = sched_setaffinity(0, sizeof one, &one) == 0;
        }
    }
    struct Restore {
        bool held;
        const cpu_set_t& allowed;
        ~Restore() {
            if (held)
                sched_setaffinity(0, sizeof allowed, &allowed);
        }
    } const restore{held, allowed};
    const vevidocore::SharedLibrary library(blasLibrary, "BLAS");
    library.resolve("cblas_sgemm", blasFunctions.sgemm);
    library.resolve("openblas_get_num_threads", blasFunctions.threads);
    library.resolve("openblas_set_num_threads", blasFunctions.setThreads);
    // The pool's shutdown is not part of OpenBLAS's public interface: a build without it keeps
    // its threads.
    library.resolveIfPresent("blas_thread_shutdown_", blasFunctions.stopThreads);
}

}  // namespace

float* threadScratch(std::size_t floats) {
    thread_local PageArray<float> scratch;
    // A new block rather than a grown one: the old contents need no copy. The old one goes
    // first, so that the two are never held at once.
    if (scratch.size() < floats) {
        scratch = PageArray<float>();
        scratch = PageArray<float>(floats);
    }
    return scratch.data();
}

const Blas& singleThreadedBlas() {
    blasLoading(loadBlas);
    if (blasFunctions.threads() == 1)
        return blasFunctions;
    std::lock_guard<std::mutex> lock(blasThreadsMutex);
    if (blasFunctions.threads() != 1) {
        // Setting the count while the pool is down would start it again: first the count, then
        // the pool goes.
        blasFunctions.setThreads(1);
        if (blasFunctions.stopThreads != nullptr)
            blasFunctions.stopThreads();
    }
    return blasFunctions;
}

const Blas& blas() noexcept {
    return blasFunctions;
}

}  // namespace ml::whisper
