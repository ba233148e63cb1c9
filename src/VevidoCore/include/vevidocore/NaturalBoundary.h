#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vevidocore {

// The beginning of a text up to its last natural break, provided it encodes to at least
// `minTokenCount` tokens. Breaks are tried in this order, each group at its last occurrence only:
// the last sentence mark (". ! ?" or a line feed, kept), the last clause mark (", ; : -" or an en
// dash, kept), the last blank (dropped). The prefix is trimmed of white space at both ends.
// Absent when no break gives a long enough prefix.
std::optional<std::string> lastNaturalBoundary(
    const std::string& text, int minTokenCount,
    const std::function<std::vector<int>(const std::string&)>& encode);

}  // namespace vevidocore
