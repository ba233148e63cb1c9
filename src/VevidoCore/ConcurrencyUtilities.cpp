#include "vevidocore/ConcurrencyUtilities.h"

#include <sched.h>
#include <unistd.h>

namespace vevidocore {

int ConcurrencyUtilities::activeProcessorCount() {
    // The affinity mask is what a container or taskset leaves us; the online count otherwise.
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof mask, &mask) == 0) {
        if (const int count = CPU_COUNT(&mask); count > 0) {
            return count;
        }
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}

}  // namespace vevidocore
