#pragma once

#include <algorithm>
#include <cstddef>
#include <ranges>
#include <vector>

namespace vevidocore {

// Splits a list into consecutive batches of `size` elements, in order; the last batch may be
// shorter. An empty list, or a size below 1, gives no batches.
template <std::ranges::random_access_range Range>
requires std::ranges::sized_range<Range>
auto batched(const Range& list, std::ptrdiff_t size) {
    using Element = std::ranges::range_value_t<Range>;
    std::vector<std::vector<Element>> batches;
    if (size < 1) {
        return batches;
    }
    const auto count = static_cast<std::ptrdiff_t>(std::ranges::size(list));
    const auto begin = std::ranges::begin(list);
    batches.reserve(static_cast<std::size_t>(count / size + (count % size != 0 ? 1 : 0)));
    for (std::ptrdiff_t start = 0; start < count;) {
        // Stepping by the batch's own length cannot overflow, however large the size.
        const std::ptrdiff_t length = std::min(size, count - start);
        batches.emplace_back(begin + start, begin + start + length);
        start += length;
    }
    return batches;
}

}  // namespace vevidocore
