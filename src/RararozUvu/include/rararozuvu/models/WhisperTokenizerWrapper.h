#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "rararozuvu/models/WhisperTokenizer.h"
#include "tokenizers/Tokenizer.h"

namespace rararozuvu {

// The Whisper tokenizer over a general tokenizer loaded from the model's tokenizer files.
//
// Special tokens are looked up by their texts; a text the vocabulary lacks takes Whisper's usual
// id for it. A lookup that only yields the tokenizer's unknown-token id counts as missing, and
// a fixed id that names another of the vocabulary's special tokens is not taken: the no-speech
// token is then the vocabulary's "<|nospeech|>" or "<|nocaptions|>", else the end of text.
class WhisperTokenizerWrapper : public WhisperTokenizer {
public:
    WhisperTokenizerWrapper(std::shared_ptr<const tokenizers::Tokenizer> tokenizer,
                            std::optional<std::filesystem::path> tokenizerFolder = std::nullopt);

    std::vector<std::int64_t> encode(std::string_view text) const override;
    std::string decode(const std::vector<std::int64_t>& tokens) const override;
    std::optional<std::int64_t> convertTokenToId(std::string_view token) const override;
    std::optional<std::string> convertIdToToken(std::int64_t id) const override;
    const SpecialTokens& specialTokens() const override { return specialTokens_; }
    const std::set<std::int64_t>& allLanguageTokens() const override { return allLanguageTokens_; }

    // Decodes the text tokens to find the text's dominant language. Chinese, Japanese, Thai, Lao,
    // Burmese and Cantonese text is split into the shortest token runs that decode to whole
    // characters; any other text into words that start at a blank, at punctuation or at a
    // special token. Ids left over that decode to no whole character make no word.
    WordTokens splitToWordTokens(const std::vector<std::int64_t>& tokenIds) const override;

    const tokenizers::Tokenizer& tokenizer() const { return *tokenizer_; }
    // The folder the tokenizer was read from; kept for callers, never read here.
    const std::optional<std::filesystem::path>& tokenizerFolder() const { return tokenizerFolder_; }

private:
    WordTokens splitTokensOnUnicode(const std::vector<std::int64_t>& tokenIds) const;
    WordTokens splitTokensOnSpaces(const std::vector<std::int64_t>& tokenIds) const;

    std::shared_ptr<const tokenizers::Tokenizer> tokenizer_;
    std::optional<std::filesystem::path> tokenizerFolder_;
    SpecialTokens specialTokens_;
    std::set<std::int64_t> allLanguageTokens_;
};

}  // namespace rararozuvu
