#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tokenizers/Regex.h"

namespace tokenizers {

// What a split searches for: a literal text (compared by exact code units, case-sensitive) or a
// compiled regular expression.
class SearchPattern {
public:
    static SearchPattern literal(std::string text) { return SearchPattern(std::move(text)); }
    static SearchPattern regex(Regex re) { return SearchPattern(std::move(re)); }

    // The first occurrence in [from, text.size()).
    std::optional<TextRange> find(std::string_view text, std::size_t from) const;
    // See tokenizers::ranges below.
    std::vector<TextRange> ranges(std::string_view text) const;

private:
    explicit SearchPattern(std::variant<std::string, Regex> p) : pattern_(std::move(p)) {}
    std::variant<std::string, Regex> pattern_;
};

// How a split treats the delimiters it finds.
enum class SplitDelimiterBehavior { removed, isolated, mergedWithPrevious, mergedWithNext };

// Successive occurrences: each search starts at the end of the previous occurrence, or one code
// point past the start of an empty one; an empty occurrence at the very end ends the search.
std::vector<TextRange> ranges(std::string_view text, const SearchPattern& pattern);

// The text between occurrences (never empty), each followed by the occurrence itself when
// `includeSeparators` (empty occurrences add nothing).
std::vector<std::string> split(std::string_view text, const SearchPattern& pattern,
                               bool includeSeparators);

std::vector<std::string> split(std::string_view text, const SearchPattern& pattern,
                               SplitDelimiterBehavior behavior);

// Every occurrence of `target` (exact text, left to right, without overlaps) replaced by `with`;
// an empty target changes nothing.
std::string replacingOccurrences(std::string_view text, std::string_view target,
                                 std::string_view with);

// Cuts the text at the matches of `re` (one scan over the whole text). Each match yields the
// text since the previous match (when not empty) and then its highest-numbered capture group
// that took part (the whole match when none did); the rest of the text ends the list.
std::vector<std::string> split(std::string_view text, const Regex& re);

}  // namespace tokenizers
