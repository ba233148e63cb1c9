#include "tokenizers/StringReplacePattern.h"

#include "hub/Config.h"
#include "tokenizers/StringSplitting.h"
#include "tokenizers/TokenizerError.h"

namespace tokenizers {

StringReplacePattern StringReplacePattern::string(std::string pattern, std::string replacement) {
    return StringReplacePattern(std::move(pattern), std::move(replacement));
}

StringReplacePattern StringReplacePattern::regexp(Regex re, std::string replacementTemplate) {
    return StringReplacePattern(std::move(re), std::move(replacementTemplate));
}

std::optional<StringReplacePattern> StringReplacePattern::fromConfig(const hub::Config& config) {
    auto content = config["content"].string();
    if (!content)
        return std::nullopt;
    const hub::Config pattern = config["pattern"];
    if (auto literal = pattern["String"].string()) {
        return string(std::move(*literal), std::move(*content));
    }
    if (const auto source = pattern["Regex"].string()) {
        auto re = Regex::compile(*source);
        if (!re)
            throw TokenizerError::invalidDescription("Cannot build regexp from " + *source);
        return regexp(std::move(*re), std::move(*content));
    }
    return std::nullopt;
}

std::string StringReplacePattern::apply(std::string_view text) const {
    if (const auto* re = std::get_if<Regex>(&pattern_)) {
        return re->replacingMatches(text, replacement_);
    }
    return replacingOccurrences(text, std::get<std::string>(pattern_), replacement_);
}

}  // namespace tokenizers
