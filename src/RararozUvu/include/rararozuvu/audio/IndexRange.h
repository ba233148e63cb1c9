#pragma once

#include <cstdint>

namespace rararozuvu {

// A half-open run of indices [startIndex, endIndex): samples of an array, or frames of a
// voice-activity list.
struct IndexRange {
    std::int64_t startIndex = 0;
    std::int64_t endIndex = 0;

    friend bool operator==(const IndexRange&, const IndexRange&) = default;
};

}  // namespace rararozuvu
