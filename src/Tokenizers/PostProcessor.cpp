#include "tokenizers/PostProcessor.h"

#include "tokenizers/UnicodeText.h"
#include "tokenizers/Utf8.h"

namespace tokenizers {
namespace {

using Tokens = PostProcessor::Tokens;

void append(Tokens& to, const Tokens& from) {
    to.insert(to.end(), from.begin(), from.end());
}

// Code point boundaries of `text`.
std::vector<std::size_t> codePointStarts(std::string_view text) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < text.size(); i = utf8::nextCodePoint(text, i)) {
        starts.push_back(i);
    }
    return starts;
}

char32_t codePointAt(std::string_view text, std::size_t i) {
    return utf8::decode(text, i);
}

}  // namespace

Tokens TemplateProcessing::postProcess(Tokens tokens, const std::optional<Tokens>& pair,
                                       bool addSpecialTokens) const {
    Tokens out;
    for (const Item& item : pair ? pair_ : single_) {
        switch (item.kind) {
            case Item::Kind::specialToken:
                if (addSpecialTokens)
                    out.push_back(item.text);
                break;
            case Item::Kind::sequenceA:
                append(out, tokens);
                break;
            case Item::Kind::sequenceB:
                if (pair)
                    append(out, *pair);
                break;
            case Item::Kind::other:
                break;
        }
    }
    return out;
}

Tokens ByteLevelPostProcessor::postProcess(Tokens tokens, const std::optional<Tokens>&,
                                           bool) const {
    return tokens;
}

std::string RobertaProcessing::trimmed(const std::string& token) const {
    const std::vector<std::size_t> starts = codePointStarts(token);
    const std::size_t n = starts.size();
    const auto isSpace = [&](std::size_t k) {
        const char32_t c = codePointAt(token, starts[k]);
        return addPrefixSpace_ ? unicode::isWhiteSpace(c) : unicode::isHorizontalSpace(c);
    };
    std::size_t leading = 0;
    while (leading < n && isSpace(leading))
        ++leading;
    if (leading == n) {
        // White space only: one character stays as it is; longer runs leave nothing.
        return addPrefixSpace_ && n == 1 ? token : std::string();
    }
    std::size_t trailing = 0;
    while (trailing < n && isSpace(n - 1 - trailing))
        ++trailing;
    std::size_t first = leading, last = n - trailing;  // kept code points: [first, last)
    if (addPrefixSpace_) {
        // One white-space character stays at each end that had some.
        if (leading > 0)
            --first;
        if (trailing > 0)
            ++last;
    }
    const std::size_t begin = starts[first];
    const std::size_t end = last < n ? starts[last] : token.size();
    return token.substr(begin, end - begin);
}

Tokens RobertaProcessing::postProcess(Tokens tokens, const std::optional<Tokens>& pair,
                                      bool addSpecialTokens) const {
    Tokens first = std::move(tokens);
    std::optional<Tokens> second = pair;
    if (trimOffset_) {
        for (std::string& t : first)
            t = trimmed(t);
        if (second) {
            for (std::string& t : *second)
                t = trimmed(t);
        }
    }
    Tokens out;
    if (!addSpecialTokens) {
        out = std::move(first);
        if (second)
            append(out, *second);
        return out;
    }
    out.push_back(cls_.second);
    append(out, first);
    out.push_back(sep_.second);
    if (second && !second->empty()) {
        out.push_back(sep_.second);
        append(out, *second);
        out.push_back(sep_.second);
    }
    return out;
}

Tokens BertProcessing::postProcess(Tokens tokens, const std::optional<Tokens>& pair,
                                   bool addSpecialTokens) const {
    Tokens out;
    if (!addSpecialTokens) {
        out = std::move(tokens);
        if (pair)
            append(out, *pair);
        return out;
    }
    out.push_back(cls_.second);
    append(out, tokens);
    out.push_back(sep_.second);
    if (pair && !pair->empty()) {
        append(out, *pair);
        out.push_back(sep_.second);
    }
    return out;
}

Tokens SequenceProcessing::postProcess(Tokens tokens, const std::optional<Tokens>& pair,
                                       bool addSpecialTokens) const {
    if (processors_.empty())
        return tokens;
    Tokens current = (*processors_.front())(std::move(tokens), pair, addSpecialTokens);
    for (std::size_t i = 1; i < processors_.size(); ++i) {
        current = (*processors_[i])(std::move(current), std::nullopt, addSpecialTokens);
    }
    return current;
}

}  // namespace tokenizers
