#include "ParallelGemm.h"

#include <dlfcn.h>

#include <mutex>

#include "ml/PageBuffer.h"

namespace ml::whisper {

namespace {

std::mutex blasThreadsMutex;

// OpenBLAS's pool shutdown is not part of its public interface, so it is looked up rather than
// linked: a BLAS without it keeps its threads.
void stopBlasThreads() {
    using Shutdown = int (*)();
    if (const auto shutdown =
            reinterpret_cast<Shutdown>(dlsym(RTLD_DEFAULT, "blas_thread_shutdown_")))
        shutdown();
}

// Runs while the program starts: the idle BLAS threads started with the library would otherwise
// spin beside the pool's for their first tenth of a second or so, while the models load.
struct BlasSetup {
    BlasSetup() { singleThreadedBlas(); }
} const blasSetup;

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

void singleThreadedBlas() {
    if (openblas_get_num_threads() == 1)
        return;
    std::lock_guard<std::mutex> lock(blasThreadsMutex);
    if (openblas_get_num_threads() == 1)
        return;
    // Setting the count while the pool is down would start it again: first the count, then the
    // pool goes.
    openblas_set_num_threads(1);
    stopBlasThreads();
}

}  // namespace ml::whisper
