#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "rararozuvu/models/SpecialTokens.h"

namespace rararozuvu {

// Tokens grouped into words: word i is made of wordTokens[i].
struct WordTokens {
    std::vector<std::string> words;
    std::vector<std::vector<std::int64_t>> wordTokens;
};

// The Whisper tokenizer as the decoder and the segment seeker use it. Implementations are
// immutable after construction and may be shared between threads.
class WhisperTokenizer {
public:
    virtual ~WhisperTokenizer() = default;

    virtual std::vector<std::int64_t> encode(std::string_view text) const = 0;
    // Special tokens stay in the text; the empty list gives the empty text.
    virtual std::string decode(const std::vector<std::int64_t>& tokens) const = 0;
    virtual std::optional<std::int64_t> convertTokenToId(std::string_view token) const = 0;
    virtual std::optional<std::string> convertIdToToken(std::int64_t id) const = 0;
    virtual const SpecialTokens& specialTokens() const = 0;
    // The ids of every language token the vocabulary holds.
    virtual const std::set<std::int64_t>& allLanguageTokens() const = 0;
    // The tokens grouped into words, in order.
    virtual WordTokens splitToWordTokens(const std::vector<std::int64_t>& tokenIds) const = 0;
};

}  // namespace rararozuvu
