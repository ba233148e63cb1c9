#pragma once

namespace vevidocore {

struct ConcurrencyUtilities {
    // The processors this process may run on now, read anew on every call; at least 1.
    static int activeProcessorCount();
};

}  // namespace vevidocore
