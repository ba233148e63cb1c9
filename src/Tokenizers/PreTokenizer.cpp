#include "tokenizers/PreTokenizer.h"

#include "tokenizers/ByteTables.h"
#include "tokenizers/UnicodeText.h"
#include "tokenizers/Utf8.h"

namespace tokenizers {
namespace {

// The ASCII symbols that count as punctuation besides \p{P}.
constexpr std::string_view asciiPunctuation =
    R"(\u0021-\u002F\u003A-\u0040\u005B-\u0060\u007B-\u007E)";

std::string punctuationPattern() {
    const std::string p = std::string(R"(\p{P})") + std::string(asciiPunctuation);
    return "[^" + p + "]+|[" + p + "]+";
}

std::string bertPattern() {
    const std::string p = std::string(R"(\p{P})") + std::string(asciiPunctuation);
    return R"([^\s)" + p + "]+|[" + p + "]";
}

// \s of the patterns: the White_Space property.
bool isSpace(char32_t c) {
    return c < 0x80 ? c == U' ' || (c >= U'\t' && c <= U'\r') : unicode::isWhiteSpace(c);
}

// The runs of code points that are neither white space nor `isolated`, and each `isolated` code
// point alone, in order; white space is dropped. What [^\s<isolated>]+|[<isolated>] matches.
template <class Isolated>
std::vector<std::string> runs(std::string_view text, Isolated&& isolated) {
    std::vector<std::string> out;
    std::size_t start = 0;
    bool inRun = false;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t at = i;
        const char32_t c = utf8::decode(text, i);
        const bool space = isSpace(c);
        const bool alone = !space && isolated(c);
        if (inRun && (space || alone))
            out.emplace_back(text.substr(start, at - start));
        if (alone)
            out.emplace_back(text.substr(at, i - at));
        if (!inRun && !space && !alone)
            start = at;
        inRun = !space && !alone;
    }
    if (inRun)
        out.emplace_back(text.substr(start));
    return out;
}

}  // namespace

std::vector<std::string> PreTokenizer::preTokenize(const std::vector<std::string>& texts,
                                                   PreTokenizerOptions options) const {
    std::vector<std::string> out;
    for (const std::string& text : texts) {
        std::vector<std::string> pieces = preTokenize(std::string_view(text), options);
        out.insert(out.end(), std::make_move_iterator(pieces.begin()),
                   std::make_move_iterator(pieces.end()));
    }
    return out;
}

std::vector<std::string> PreTokenizerSequence::preTokenize(std::string_view text,
                                                           PreTokenizerOptions options) const {
    std::vector<std::string> pieces{std::string(text)};
    for (const auto& p : preTokenizers_)
        pieces = (*p)(pieces, options);
    return pieces;
}

ByteLevelPreTokenizer::ByteLevelPreTokenizer(bool addPrefixSpace, bool useRegex)
    : addPrefixSpace_(addPrefixSpace), useRegex_(useRegex) {
    if (useRegex_)
        regex_ = Regex::compile(Regex::gpt2Pattern());
}

std::vector<std::string> ByteLevelPreTokenizer::preTokenize(std::string_view text,
                                                            PreTokenizerOptions) const {
    // The prefix space goes in front of the text before splitting, so that it joins the first
    // word as a space in running text would; later pieces are left as they are.
    std::string prefixed;
    if (addPrefixSpace_ && !text.empty() && !text.starts_with(' ')) {
        prefixed.reserve(text.size() + 1);
        prefixed += ' ';
        prefixed += text;
        text = prefixed;
    }
    std::vector<std::string_view> pieces;
    if (useRegex_) {
        for (const TextRange& r : regex_->ranges(text))
            pieces.push_back(r.of(text));
    } else {
        pieces.push_back(text);
    }
    const auto& encoder = byteEncoder();
    std::vector<std::string> out;
    out.reserve(pieces.size());
    for (std::string_view piece : pieces) {
        std::string& encoded = out.emplace_back();
        encoded.reserve(piece.size() * 2);
        for (char c : piece)
            encoded += encoder[static_cast<unsigned char>(c)];
    }
    return out;
}

PatternPreTokenizer::PatternPreTokenizer(std::string_view pattern)
    : regex_(Regex::compile(pattern)) {}

std::vector<std::string> PatternPreTokenizer::preTokenize(std::string_view text,
                                                          PreTokenizerOptions) const {
    std::vector<std::string> out;
    if (!regex_)
        return out;
    for (const TextRange& r : regex_->ranges(text))
        out.emplace_back(r.of(text));
    return out;
}

PunctuationPreTokenizer::PunctuationPreTokenizer() : PatternPreTokenizer(punctuationPattern()) {}

DigitsPreTokenizer::DigitsPreTokenizer(bool individualDigits)
    : PatternPreTokenizer(individualDigits ? R"([^\d]+|\d)" : R"([^\d]+|\d+)") {}

WhitespacePreTokenizer::WhitespacePreTokenizer() : PatternPreTokenizer(R"(\S+)") {}

std::vector<std::string> WhitespacePreTokenizer::preTokenize(std::string_view text,
                                                             PreTokenizerOptions) const {
    return runs(text, [](char32_t) { return false; });
}

BertPreTokenizer::BertPreTokenizer() : PatternPreTokenizer(bertPattern()) {}

std::vector<std::string> BertPreTokenizer::preTokenize(std::string_view text,
                                                       PreTokenizerOptions) const {
    return runs(text, unicode::isPunctuationOrAsciiSymbol);
}

SplitPreTokenizer::SplitPreTokenizer(std::optional<StringSplitPattern> pattern, bool invert) {
    if (!pattern)
        return;
    if (pattern->kind == StringSplitPattern::Kind::string) {
        search_ = SearchPattern::literal(pattern->text);
        includeSeparators_ = !invert;
    } else if (auto re = Regex::compile(pattern->text)) {
        search_ = SearchPattern::regex(std::move(*re));
    }
}

std::vector<std::string> SplitPreTokenizer::preTokenize(std::string_view text,
                                                        PreTokenizerOptions) const {
    if (!search_)
        return {std::string(text)};
    return split(text, *search_, includeSeparators_);
}

MetaspacePreTokenizer::MetaspacePreTokenizer(std::string replacement, std::string stringReplacement,
                                             PrependScheme prependScheme)
    : replacement_(std::move(replacement)),
      stringReplacement_(std::move(stringReplacement)),
      prependScheme_(prependScheme) {
    if (!replacement_.empty() && Regex::escapedPattern(replacement_) == replacement_) {
        splitter_ = SearchPattern::literal(replacement_);
    } else if (auto re = Regex::compile(replacement_)) {
        splitter_ = SearchPattern::regex(std::move(*re));
    }
}

std::vector<std::string> MetaspacePreTokenizer::preTokenize(std::string_view text,
                                                            PreTokenizerOptions options) const {
    std::string replaced;
    replaced.reserve(text.size() + stringReplacement_.size());
    for (char c : text) {
        if (c == ' ') {
            replaced += stringReplacement_;
        } else {
            replaced.push_back(c);
        }
    }
    std::string prefix;
    if (!std::string_view(replaced).starts_with(replacement_)) {
        const bool prepend = prependScheme_ == PrependScheme::always ||
                             (prependScheme_ == PrependScheme::first &&
                              options.contains(PreTokenizerOption::firstSection));
        if (prepend)
            prefix = stringReplacement_;
    }
    const std::string whole = prefix + replaced;
    if (!splitter_)
        return whole.empty() ? std::vector<std::string>{} : std::vector{whole};
    return split(whole, *splitter_, SplitDelimiterBehavior::mergedWithNext);
}

}  // namespace tokenizers
