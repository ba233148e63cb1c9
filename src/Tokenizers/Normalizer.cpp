#include "tokenizers/Normalizer.h"

#include <algorithm>

#include "tokenizers/StringSplitting.h"
#include "tokenizers/Utf8.h"

namespace tokenizers {
namespace {

using unicode::NormalizationForm;

constexpr std::string_view fullwidthTilde = "\uFF5E";

// What the precompiled rules do with one scalar.
enum class ScalarRule { keep, remove, blank };

constexpr ScalarRule precompiledRule(char32_t c) {
    if ((c >= 0x01 && c <= 0x08) || c == 0x0B || (c >= 0x0E && c <= 0x1F) || c == 0x7F ||
        c == 0x8F || c == 0x9F) {
        return ScalarRule::remove;
    }
    if (c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x1680 ||
        (c >= 0x200B && c <= 0x200F) || c == 0x2028 || c == 0x2029 || c == 0x2581 || c == 0xFEFF ||
        c == 0xFFFD) {
        return ScalarRule::blank;
    }
    return ScalarRule::keep;
}

std::string cleanedText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    unicode::forEachCharacter(text, [&](std::string_view character, char32_t first) {
        if (first == U'\t' || first == U'\n' || first == U'\r') {
            out += ' ';
        } else if (first < 0x80
                       ? first >= 0x20 && first != 0x7F
                       : first != utf8::replacementCharacter && !unicode::isOtherCategory(first)) {
            out += character;
        }
    });
    return out;
}

std::string withoutCombiningDiacriticalMarks(std::string_view text) {
    const std::string decomposed = unicode::normalized(text, NormalizationForm::nfd);
    if (unicode::isBelowCombiningMarks(decomposed))
        return decomposed;
    std::string out;
    out.reserve(decomposed.size());
    for (std::size_t i = 0; i < decomposed.size();) {
        const std::size_t start = i;
        const char32_t c = utf8::decode(decomposed, i);
        if (c < 0x0300 || c > 0x036F)
            out.append(decomposed, start, i - start);
    }
    return out;
}

}  // namespace

std::string NormalizerSequence::normalize(std::string_view text) const {
    std::string out(text);
    for (const auto& n : normalizers_)
        out = (*n)(out);
    return out;
}

std::string PrependNormalizer::normalize(std::string_view text) const {
    std::string out;
    out.reserve(prepend_.size() + text.size());
    out += prepend_;
    out += text;
    return out;
}

std::string ReplaceNormalizer::normalize(std::string_view text) const {
    return pattern_ ? pattern_->apply(text) : std::string(text);
}

std::string LowercaseNormalizer::normalize(std::string_view text) const {
    return unicode::lowercased(text);
}

std::string NormalizationFormNormalizer::normalize(std::string_view text) const {
    return unicode::normalized(text, form_);
}

std::string BertNormalizer::normalize(std::string_view text) const {
    std::string out(text);
    if (shouldCleanText_)
        out = cleanedText(out);
    if (shouldHandleChineseChars_)
        out = unicode::spacedCJKIdeographs(out);
    if (shouldStripAccents_)
        out = withoutCombiningDiacriticalMarks(out);
    if (shouldLowercase_)
        out = unicode::lowercased(out);
    return out;
}

std::string PrecompiledNormalizer::normalize(std::string_view text) const {
    std::string out;
    out.reserve(text.size());
    bool tilde = false;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        const char32_t c = utf8::decode(text, i);
        switch (precompiledRule(c)) {
            case ScalarRule::remove:
                break;
            case ScalarRule::blank:
                out += ' ';
                break;
            case ScalarRule::keep:
                tilde = tilde || c == 0xFF5E;
                out.append(text, start, i - start);
                break;
        }
    }
    if (!tilde)
        return unicode::normalized(out, NormalizationForm::nfkc);
    std::string joined;
    for (const std::string& piece :
         split(out, SearchPattern::literal(std::string(fullwidthTilde)), false)) {
        if (!joined.empty())
            joined += fullwidthTilde;
        joined += unicode::normalized(piece, NormalizationForm::nfkc);
    }
    return joined;
}

std::string StripAccentsNormalizer::normalize(std::string_view text) const {
    return unicode::withoutNonspacingMarks(text);
}

std::string StripNormalizer::normalize(std::string_view text) const {
    std::size_t begin = text.size(), end = 0;
    unicode::forEachCharacter(text, [&](std::string_view character, char32_t first) {
        if (unicode::isWhiteSpace(first))
            return;
        const auto at = static_cast<std::size_t>(character.data() - text.data());
        begin = std::min(begin, at);
        end = at + character.size();
    });
    if (begin >= end)
        return leftStrip_ || rightStrip_ ? std::string() : std::string(text);
    if (!leftStrip_)
        begin = 0;
    if (!rightStrip_)
        end = text.size();
    return std::string(text.substr(begin, end - begin));
}

}  // namespace tokenizers
