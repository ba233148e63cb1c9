#include "ParallelGemm.h"

#include <mutex>

namespace ml::whisper {

namespace {

std::mutex blasThreadsMutex;
int blasUsers = 0;
int blasThreadsBefore = 1;

}  // namespace

SingleThreadedBlas::SingleThreadedBlas() {
    std::lock_guard<std::mutex> lock(blasThreadsMutex);
    if (blasUsers++ == 0) {
        blasThreadsBefore = openblas_get_num_threads();
        if (blasThreadsBefore != 1)
            openblas_set_num_threads(1);
    }
}

SingleThreadedBlas::~SingleThreadedBlas() {
    std::lock_guard<std::mutex> lock(blasThreadsMutex);
    if (--blasUsers == 0 && blasThreadsBefore != 1)
        openblas_set_num_threads(blasThreadsBefore);
}

}  // namespace ml::whisper
