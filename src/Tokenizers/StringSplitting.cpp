#include "tokenizers/StringSplitting.h"

#include "tokenizers/Utf8.h"

namespace tokenizers {

std::optional<TextRange> SearchPattern::find(std::string_view text, std::size_t from) const {
    if (from > text.size())
        return std::nullopt;
    if (const auto* literal = std::get_if<std::string>(&pattern_)) {
        const std::size_t at = text.find(*literal, from);
        if (at == std::string_view::npos)
            return std::nullopt;
        return TextRange{at, at + literal->size()};
    }
    const auto match = std::get<Regex>(pattern_).firstMatch(text, from);
    if (!match)
        return std::nullopt;
    return match->range();
}

std::vector<TextRange> SearchPattern::ranges(std::string_view text) const {
    if (const auto* re = std::get_if<Regex>(&pattern_))
        return re->ranges(text);
    const std::string& literal = std::get<std::string>(pattern_);
    std::vector<TextRange> found;
    std::size_t from = 0;
    while (from <= text.size()) {
        const std::size_t at = text.find(literal, from);
        if (at == std::string_view::npos)
            break;
        found.push_back({at, at + literal.size()});
        if (!literal.empty()) {
            from = at + literal.size();
        } else if (at >= text.size()) {
            break;
        } else {
            from = utf8::nextCodePoint(text, at);
        }
    }
    return found;
}

std::vector<TextRange> ranges(std::string_view text, const SearchPattern& pattern) {
    return pattern.ranges(text);
}

std::vector<std::string> split(std::string_view text, const SearchPattern& pattern,
                               bool includeSeparators) {
    // An empty occurrence separates nothing: cutting there would only lose the code point that
    // the search steps over.
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (const TextRange& r : ranges(text, pattern)) {
        if (r.empty())
            continue;
        if (start < r.begin)
            pieces.emplace_back(text.substr(start, r.begin - start));
        if (includeSeparators)
            pieces.emplace_back(r.of(text));
        start = r.end;
    }
    if (start < text.size())
        pieces.emplace_back(text.substr(start));
    return pieces;
}

std::vector<std::string> split(std::string_view text, const SearchPattern& pattern,
                               SplitDelimiterBehavior behavior) {
    switch (behavior) {
        case SplitDelimiterBehavior::removed:
            return split(text, pattern, false);
        case SplitDelimiterBehavior::isolated:
            return split(text, pattern, true);
        case SplitDelimiterBehavior::mergedWithNext:
        case SplitDelimiterBehavior::mergedWithPrevious:
            break;
    }
    const bool withNext = behavior == SplitDelimiterBehavior::mergedWithNext;
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (const TextRange& r : ranges(text, pattern)) {
        if (withNext) {
            if (r.begin == 0)
                continue;
            if (start < r.begin)
                pieces.emplace_back(text.substr(start, r.begin - start));
            start = r.begin;
        } else {
            if (start < r.end)
                pieces.emplace_back(text.substr(start, r.end - start));
            start = r.end;
        }
    }
    if (start < text.size())
        pieces.emplace_back(text.substr(start));
    return pieces;
}

std::string replacingOccurrences(std::string_view text, std::string_view target,
                                 std::string_view with) {
    if (target.empty())
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    for (std::size_t at = text.find(target); at != std::string_view::npos;
         at = text.find(target, start)) {
        out.append(text.substr(start, at - start));
        out.append(with);
        start = at + target.size();
    }
    out.append(text.substr(start));
    return out;
}

std::vector<std::string> split(std::string_view text, const Regex& re) {
    const std::vector<RegexMatch> found = re.matches(text);
    if (found.empty())
        return {std::string(text)};
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (const RegexMatch& m : found) {
        const TextRange& whole = m.range();
        if (whole.begin < start || whole.end > text.size())
            continue;
        if (start < whole.begin)
            pieces.emplace_back(text.substr(start, whole.begin - start));
        for (auto g = m.groups.rbegin(); g != m.groups.rend(); ++g) {
            if (*g) {
                pieces.emplace_back((*g)->of(text));
                break;
            }
        }
        start = whole.end;
    }
    if (start < text.size())
        pieces.emplace_back(text.substr(start));
    return pieces;
}

}  // namespace tokenizers
