#include "tokenizers/Regex.h"

#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>

#include <array>
#include <cstdint>

#include "tokenizers/Utf8.h"

namespace tokenizers {
namespace {

struct UTextCloser {
    void operator()(UText* t) const { utext_close(t); }
};
using UTextPtr = std::unique_ptr<UText, UTextCloser>;

UTextPtr openUtf8(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    // ICU wants a non-null pointer even for the empty text.
    static const char empty = 0;
    UTextPtr ut(utext_openUTF8(nullptr, text.empty() ? &empty : text.data(),
                               static_cast<int64_t>(text.size()), &status));
    if (U_FAILURE(status))
        return nullptr;
    return ut;
}

// ---- The hand-written matcher of the GPT-2 pattern -------------------------------------------
//
//   's|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+
//
// Every code point is covered by one of the alternatives, so a match always starts where the
// previous one ended; the alternatives are tried in order, as ICU does.

enum class CharClass : std::uint8_t { other, letter, number, space };

CharClass classify(char32_t c) {
    // Code points below U+10000 come from a table built once; the rest are rare.
    static const std::array<CharClass, 0x10000>* table = [] {
        static std::array<CharClass, 0x10000> t{};
        for (UChar32 c = 0; c < 0x10000; ++c) {
            const auto mask = U_GET_GC_MASK(c);
            if (u_isUWhiteSpace(c)) {
                t[c] = CharClass::space;
            } else if (mask & U_GC_L_MASK) {
                t[c] = CharClass::letter;
            } else if (mask & U_GC_N_MASK) {
                t[c] = CharClass::number;
            }
        }
        return &t;
    }();
    if (c < 0x10000)
        return (*table)[c];
    const auto mask = U_GET_GC_MASK(static_cast<UChar32>(c));
    if (u_isUWhiteSpace(static_cast<UChar32>(c)))
        return CharClass::space;
    if (mask & U_GC_L_MASK)
        return CharClass::letter;
    if (mask & U_GC_N_MASK)
        return CharClass::number;
    return CharClass::other;
}

std::size_t runOf(std::string_view text, std::size_t i, CharClass cls) {
    while (i < text.size()) {
        std::size_t next = i;
        if (classify(utf8::decode(text, next)) != cls)
            break;
        i = next;
    }
    return i;
}

// End of the match that starts at `i` (always past `i`).
std::size_t gpt2MatchEnd(std::string_view text, std::size_t i) {
    std::size_t next = i;
    const char32_t c = utf8::decode(text, next);
    if (c == U'\'') {
        const std::string_view rest = text.substr(next);
        for (std::string_view suffix : {"s", "t", "re", "ve", "m", "ll", "d"}) {
            if (rest.starts_with(suffix))
                return next + suffix.size();
        }
    }
    if (c == U' ' && next < text.size()) {
        std::size_t afterSecond = next;
        const CharClass second = classify(utf8::decode(text, afterSecond));
        if (second != CharClass::space)
            return runOf(text, afterSecond, second);
    }
    const CharClass cls = classify(c);
    if (cls != CharClass::space)
        return runOf(text, next, cls);
    // \s+(?!\S): the whole run at the end of the text, else the run without its last code
    // point when that leaves at least one; a single space before a non-space falls to \s+.
    std::size_t lastStart = i;
    std::size_t end = next;
    while (end < text.size()) {
        std::size_t after = end;
        if (classify(utf8::decode(text, after)) != CharClass::space)
            break;
        lastStart = end;
        end = after;
    }
    if (end == text.size() || lastStart == i)
        return end;
    return lastStart;
}

// Patterns come from downloaded descriptions; one written to backtrack without end must not
// hang the program. ICU counts this limit in steps of its match engine, roughly milliseconds,
// per search: far beyond what any sane pattern needs on any input.
constexpr int32_t matchTimeLimit = 5000;

// The ranges of the whole match and of each capture group (absent when it took no part).
RegexMatch currentMatch(icu::RegexMatcher& matcher) {
    UErrorCode status = U_ZERO_ERROR;
    const int32_t groupCount = matcher.groupCount();
    RegexMatch match;
    match.groups.reserve(static_cast<std::size_t>(groupCount) + 1);
    for (int32_t g = 0; g <= groupCount; ++g) {
        const int64_t start = matcher.start64(g, status);
        const int64_t end = matcher.end64(g, status);
        if (U_FAILURE(status) || start < 0 || end < start) {
            status = U_ZERO_ERROR;
            match.groups.emplace_back();
        } else {
            match.groups.emplace_back(
                TextRange{static_cast<std::size_t>(start), static_cast<std::size_t>(end)});
        }
    }
    return match;
}

}  // namespace

struct Regex::Compiled {
    std::unique_ptr<icu::RegexPattern> pattern;

    // A matcher over the text, holding the text open as long as it lives.
    struct Search {
        UTextPtr text;
        std::unique_ptr<icu::RegexMatcher> matcher;
    };

    // Nothing when ICU cannot open the text or make a matcher.
    std::optional<Search> search(std::string_view text) const {
        Search s{openUtf8(text), nullptr};
        if (!s.text)
            return std::nullopt;
        UErrorCode status = U_ZERO_ERROR;
        s.matcher.reset(pattern->matcher(status));
        if (U_FAILURE(status) || !s.matcher)
            return std::nullopt;
        s.matcher->setTimeLimit(matchTimeLimit, status);
        s.matcher->reset(s.text.get());
        return s;
    }
};

const std::string& Regex::gpt2Pattern() {
    static const std::string pattern =
        R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";
    return pattern;
}

Regex::Regex(std::string pattern, std::shared_ptr<const Compiled> compiled)
    : pattern_(std::move(pattern)), compiled_(std::move(compiled)) {
    gpt2FastPath_ = pattern_ == gpt2Pattern();
}

std::optional<Regex> Regex::compile(std::string_view pattern) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    auto compiled = std::make_shared<Compiled>();
    compiled->pattern.reset(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), pattern.size())), 0,
        parseError, status));
    if (U_FAILURE(status) || !compiled->pattern)
        return std::nullopt;
    return Regex(std::string(pattern), std::move(compiled));
}

Regex Regex::withoutFastPath() const {
    Regex copy = *this;
    copy.gpt2FastPath_ = false;
    return copy;
}

std::optional<RegexMatch> Regex::firstMatch(std::string_view text, std::size_t from) const {
    if (from > text.size())
        return std::nullopt;
    if (gpt2FastPath_) {
        if (from == text.size())
            return std::nullopt;
        return RegexMatch{{TextRange{from, gpt2MatchEnd(text, from)}}};
    }
    UErrorCode status = U_ZERO_ERROR;
    const auto search = compiled_->search(text);
    if (!search)
        return std::nullopt;
    icu::RegexMatcher& matcher = *search->matcher;
    matcher.region(static_cast<int64_t>(from), static_cast<int64_t>(text.size()),
                   static_cast<int64_t>(from), status);
    if (U_FAILURE(status) || !matcher.find(status) || U_FAILURE(status))
        return std::nullopt;
    return currentMatch(matcher);
}

std::vector<TextRange> Regex::ranges(std::string_view text) const {
    std::vector<TextRange> found;
    if (gpt2FastPath_) {
        for (std::size_t i = 0; i < text.size();) {
            const std::size_t end = gpt2MatchEnd(text, i);
            found.push_back({i, end});
            i = end;
        }
        return found;
    }
    UErrorCode status = U_ZERO_ERROR;
    const auto search = compiled_->search(text);
    if (!search)
        return found;
    icu::RegexMatcher& matcher = *search->matcher;
    const auto size = static_cast<int64_t>(text.size());
    std::size_t from = 0;
    while (from <= text.size()) {
        matcher.region(static_cast<int64_t>(from), size, static_cast<int64_t>(from), status);
        if (U_FAILURE(status) || !matcher.find(status) || U_FAILURE(status))
            break;
        const TextRange r{static_cast<std::size_t>(matcher.start64(status)),
                          static_cast<std::size_t>(matcher.end64(status))};
        if (U_FAILURE(status))
            break;
        found.push_back(r);
        if (!r.empty()) {
            from = r.end;
        } else if (r.begin >= text.size()) {
            break;  // an empty match at the very end: nothing is left to search
        } else {
            from = utf8::nextCodePoint(text, r.begin);
        }
    }
    return found;
}

std::vector<RegexMatch> Regex::matches(std::string_view text) const {
    std::vector<RegexMatch> found;
    if (gpt2FastPath_) {
        for (const TextRange& r : ranges(text))
            found.push_back(RegexMatch{{r}});
        return found;
    }
    UErrorCode status = U_ZERO_ERROR;
    const auto search = compiled_->search(text);
    if (!search)
        return found;
    icu::RegexMatcher& matcher = *search->matcher;
    while (matcher.find(status) && U_SUCCESS(status))
        found.push_back(currentMatch(matcher));
    return found;
}

std::string Regex::replacingMatches(std::string_view text,
                                    std::string_view replacementTemplate) const {
    UErrorCode status = U_ZERO_ERROR;
    const auto input = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
    std::unique_ptr<icu::RegexMatcher> matcher(compiled_->pattern->matcher(input, status));
    if (U_FAILURE(status))
        return std::string(text);
    matcher->setTimeLimit(matchTimeLimit, status);
    const icu::UnicodeString replaced =
        matcher->replaceAll(icu::UnicodeString::fromUTF8(icu::StringPiece(
                                replacementTemplate.data(), replacementTemplate.size())),
                            status);
    if (U_FAILURE(status))
        return std::string(text);
    std::string out;
    replaced.toUTF8String(out);
    return out;
}

std::string Regex::escapedPattern(std::string_view literal) {
    std::string out;
    out.reserve(literal.size() * 2);
    for (char c : literal) {
        const auto u = static_cast<unsigned char>(c);
        const bool alphanumeric =
            (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_';
        // A backslash before any ASCII punctuation or space makes it literal in ICU patterns;
        // before a letter or digit it would start an escape, and other bytes need none.
        if (u < 0x80 && u > 0x20 && !alphanumeric)
            out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

}  // namespace tokenizers
