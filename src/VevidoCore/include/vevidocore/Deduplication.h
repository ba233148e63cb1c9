#pragma once

#include <functional>
#include <ranges>
#include <unordered_set>
#include <vector>

namespace vevidocore {

// The list without repeats: the first occurrence of each element, in the order of the list.
template <std::ranges::input_range Range>
auto orderedSet(const Range& list) {
    using Element = std::ranges::range_value_t<Range>;
    std::vector<Element> unique;
    std::unordered_set<Element> seen;
    for (const auto& element : list) {
        if (seen.insert(element).second) {
            unique.push_back(element);
        }
    }
    return unique;
}

}  // namespace vevidocore
