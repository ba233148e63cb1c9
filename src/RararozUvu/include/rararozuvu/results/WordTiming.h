#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace rararozuvu {

// One word of a segment with its tokens, its time span in seconds and its probability.
struct WordTiming {
    std::string word;
    std::vector<std::int64_t> tokens;
    float start = 0;
    float end = 0;
    float probability = 0;

    float duration() const { return end - start; }

    // Floats compare numerically: a NaN field makes two values unequal, and 0 equals -0.
    friend bool operator==(const WordTiming&, const WordTiming&) = default;

    // Keys "word", "tokens", "start", "end", "probability", all required.
    std::string toJson() const;
    static WordTiming fromJson(std::string_view json);
};

}  // namespace rararozuvu

template <>
struct std::hash<rararozuvu::WordTiming> {
    std::size_t operator()(const rararozuvu::WordTiming& word) const noexcept;
};
