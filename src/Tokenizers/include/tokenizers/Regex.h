#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tokenizers {

// A range of a UTF-8 text, in bytes: [begin, end).
struct TextRange {
    std::size_t begin = 0;
    std::size_t end = 0;

    std::size_t length() const { return end - begin; }
    bool empty() const { return begin == end; }
    std::string_view of(std::string_view text) const { return text.substr(begin, end - begin); }
    friend bool operator==(const TextRange&, const TextRange&) = default;
};

// One match: the whole match first, then each capture group (absent when it took no part).
struct RegexMatch {
    std::vector<std::optional<TextRange>> groups;

    const TextRange& range() const { return *groups.front(); }
};

// A compiled regular expression with ICU semantics (\s is White_Space, \d, \p{..}, look-ahead,
// "$n" replacement templates), compiled with no options and searched over UTF-8 text. Positions
// are byte offsets; an empty match moves the search on by one code point.
//
// A Regex is immutable and may be shared between threads: every search makes its own matcher.
// The GPT-2 pre-tokenization pattern, the hot path of byte-level tokenizers, is searched by a
// hand-written matcher that gives exactly ICU's matches.
class Regex {
public:
    // Compiles `pattern`; nothing when ICU rejects it.
    static std::optional<Regex> compile(std::string_view pattern);

    // The pattern as written.
    const std::string& pattern() const { return pattern_; }

    // The first match that lies in [from, text.size()); the search sees only that region, as if
    // the text began at `from`.
    std::optional<RegexMatch> firstMatch(std::string_view text, std::size_t from = 0) const;

    // Successive matches: each search runs over the rest of the text from the end of the
    // previous match, or from one code point past the start of an empty one.
    std::vector<TextRange> ranges(std::string_view text) const;

    // Every match of one scan over the whole text, with capture groups.
    std::vector<RegexMatch> matches(std::string_view text) const;

    // Every match replaced by `replacementTemplate`, where "$n" stands for capture group n and
    // a backslash makes the next character literal. A template that names a group the pattern
    // lacks leaves the text unchanged.
    std::string replacingMatches(std::string_view text, std::string_view replacementTemplate) const;

    // `literal` with every metacharacter escaped, so that it matches itself.
    static std::string escapedPattern(std::string_view literal);

    // The GPT-2 pre-tokenization pattern ("'s|'t|...|\s+(?!\S)|\s+").
    static const std::string& gpt2Pattern();

    // Searches with ICU even for a pattern that has a hand-written matcher (for comparing the two).
    Regex withoutFastPath() const;

private:
    struct Compiled;
    explicit Regex(std::string pattern, std::shared_ptr<const Compiled> compiled);

    std::string pattern_;
    std::shared_ptr<const Compiled> compiled_;
    bool gpt2FastPath_ = false;
};

}  // namespace tokenizers
