#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "tokenizers/Regex.h"

namespace hub {
class Config;
}

namespace tokenizers {

// A literal or regular-expression replacement, shared by the "Replace" normalizer and decoder.
class StringReplacePattern {
public:
    // Every literal occurrence of `pattern` (left to right, without overlaps) becomes
    // `replacement`.
    static StringReplacePattern string(std::string pattern, std::string replacement);
    // Every match of `re` becomes `replacementTemplate` ("$n" for group n, "\" quotes).
    static StringReplacePattern regexp(Regex re, std::string replacementTemplate);

    // From a description object: "content" is the replacement, "pattern" holds "String" (a
    // literal, preferred) or "Regex". Nothing without a string "content" or without either
    // pattern; a "Regex" that does not compile throws TokenizerError (invalidDescription,
    // "Cannot build regexp from " and the source).
    static std::optional<StringReplacePattern> fromConfig(const hub::Config& config);

    std::string apply(std::string_view text) const;

private:
    StringReplacePattern(std::variant<std::string, Regex> pattern, std::string replacement)
        : pattern_(std::move(pattern)), replacement_(std::move(replacement)) {}

    std::variant<std::string, Regex> pattern_;
    std::string replacement_;
};

}  // namespace tokenizers
