#include "tokenizers/Decoder.h"

#include "tokenizers/ByteTables.h"
#include "tokenizers/StringSplitting.h"
#include "tokenizers/UnicodeText.h"
#include "tokenizers/Utf8.h"

namespace tokenizers {
namespace {

// The value of a byte token "<0xHH>"; nothing for any other token, and for a negative value.
std::optional<std::uint8_t> byteTokenValue(std::string_view token) {
    if (token.size() != 6 || !token.starts_with("<0x") || !token.ends_with(">")) {
        return std::nullopt;
    }
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    const char first = token[3], second = token[4];
    const int low = digit(second);
    if (low < 0)
        return std::nullopt;
    if (first == '+')
        return static_cast<std::uint8_t>(low);
    if (first == '-') {
        if (low != 0)
            return std::nullopt;
        return std::uint8_t{0};
    }
    const int high = digit(first);
    if (high < 0)
        return std::nullopt;
    return static_cast<std::uint8_t>(high * 16 + low);
}

// Decodes a run of byte-alphabet text into UTF-8. Characters outside the alphabet (possible
// only in hand-made vocabularies) are not decodable and keep their own text.
void appendByteDecoded(std::string& bytes, std::string_view run) {
    const auto appendCluster = [&](std::string_view cluster) {
        std::size_t i = 0;
        const char32_t c = utf8::decode(cluster, i);
        const auto b = i == cluster.size() ? byteDecoder(c) : std::nullopt;
        if (b) {
            bytes.push_back(static_cast<char>(*b));
        } else {
            bytes.append(cluster);
        }
    };
    if (unicode::isBelowCombiningMarks(run)) {
        // Every character of the alphabet is a cluster of its own here.
        for (std::size_t i = 0; i < run.size();) {
            const std::size_t start = i;
            i = utf8::nextCodePoint(run, i);
            if (run[start] == '\r' && i < run.size() && run[i] == '\n')
                ++i;
            appendCluster(run.substr(start, i - start));
        }
        return;
    }
    for (std::string_view cluster : unicode::graphemeClusters(run))
        appendCluster(cluster);
}

}  // namespace

std::vector<std::string> DecoderSequence::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out = tokens;
    for (const auto& d : decoders_)
        out = (*d)(out);
    return out;
}

WordPieceDecoder::WordPieceDecoder(std::string prefix, bool cleanup)
    : prefix_(std::move(prefix)),
      cleanup_(cleanup),
      re_(Regex::compile(R"(\s(\.|\?|\!|\,|'\s|n't|'m|'s|'ve|'re))")) {}

std::string WordPieceDecoder::cleanedUp(std::string text) const {
    if (re_)
        text = re_->replacingMatches(text, "$1");
    return replacingOccurrences(text, " do not", " don't");
}

std::vector<std::string> WordPieceDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        std::string token = tokens[i];
        if (i > 0) {
            if (!prefix_.empty() && token.starts_with(prefix_)) {
                token.erase(0, prefix_.size());
            } else {
                token = " " + token;
            }
        }
        out.push_back(cleanup_ ? cleanedUp(std::move(token)) : std::move(token));
    }
    return out;
}

std::vector<std::string> ByteLevelDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    std::string pending;  // bytes of the current run of ordinary tokens
    bool inRun = false;
    const auto flush = [&] {
        if (!inRun)
            return;
        out.push_back(utf8::sanitized(pending));
        pending.clear();
        inRun = false;
    };
    for (const std::string& token : tokens) {
        if (addedTokens_.contains(token)) {
            flush();
            out.push_back(token);
        } else {
            appendByteDecoded(pending, token);
            inRun = true;
        }
    }
    flush();
    return out;
}

std::vector<std::string> ReplaceDecoder::decode(const std::vector<std::string>& tokens) const {
    if (!pattern_)
        return tokens;
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (const std::string& token : tokens)
        out.push_back(pattern_->apply(token));
    return out;
}

std::vector<std::string> ByteFallbackDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    std::string pending;
    const auto flush = [&] {
        if (pending.empty())
            return;
        out.push_back(utf8::sanitized(pending));
        pending.clear();
    };
    for (const std::string& token : tokens) {
        if (const auto b = byteTokenValue(token)) {
            pending.push_back(static_cast<char>(*b));
        } else {
            flush();
            out.push_back(token);
        }
    }
    flush();
    return out;
}

std::vector<std::string> FuseDecoder::decode(const std::vector<std::string>& tokens) const {
    std::string joined;
    for (const std::string& token : tokens)
        joined += token;
    return {joined};
}

StripDecoder::StripDecoder(std::string content, long long start, long long stop)
    : content_(unicode::graphemeCount(content) == 1 ? std::move(content) : std::string(" ")),
      start_(start),
      stop_(stop) {}

std::vector<std::string> StripDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (const std::string& token : tokens) {
        const std::vector<std::string_view> clusters = unicode::graphemeClusters(token);
        std::size_t first = 0, last = clusters.size();
        for (long long n = 0; n < start_ && first < last && clusters[first] == content_; ++n) {
            ++first;
        }
        for (long long n = 0; n < stop_ && last > first && clusters[last - 1] == content_; ++n) {
            --last;
        }
        std::string kept;
        for (std::size_t i = first; i < last; ++i)
            kept.append(clusters[i]);
        out.push_back(std::move(kept));
    }
    return out;
}

std::vector<std::string> MetaspaceDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (const std::string& token : tokens)
        out.push_back(replacingOccurrences(token, replacement_, " "));
    if (addPrefixSpace_ && !out.empty() && out.front().starts_with(' '))
        out.front().erase(0, 1);
    return out;
}

}  // namespace tokenizers
