#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tokenizers {

// The tokenizer as the rest of the system holds it: text to token ids and back. Implementations
// are immutable after construction and may be shared between threads. Input text is UTF-8; ill-
// formed sequences are read as U+FFFD.
class Tokenizer {
public:
    virtual ~Tokenizer() = default;

    // The tokens of a text, no special tokens added.
    virtual std::vector<std::string> tokenize(std::string_view text) const = 0;
    std::vector<int> encode(std::string_view text) const { return encode(text, true); }
    virtual std::vector<int> encode(std::string_view text, bool addSpecialTokens) const = 0;
    std::vector<int> operator()(std::string_view text, bool addSpecialTokens = true) const {
        return encode(text, addSpecialTokens);
    }
    // Special tokens stay in the text unless `skipSpecialTokens`.
    std::string decode(const std::vector<int>& tokens) const { return decode(tokens, false); }
    virtual std::string decode(const std::vector<int>& tokens, bool skipSpecialTokens) const = 0;

    // The unknown token's id for text outside the vocabulary; nothing without an unknown token.
    virtual std::optional<int> convertTokenToId(std::string_view token) const = 0;
    std::vector<std::optional<int>> convertTokensToIds(
        const std::vector<std::string>& tokens) const;
    virtual std::optional<std::string> convertIdToToken(int id) const = 0;
    std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int>& ids) const;

    virtual std::optional<std::string> bosToken() const = 0;
    virtual std::optional<int> bosTokenId() const = 0;
    virtual std::optional<std::string> eosToken() const = 0;
    virtual std::optional<int> eosTokenId() const = 0;
    virtual std::optional<std::string> unknownToken() const = 0;
    virtual std::optional<int> unknownTokenId() const = 0;

    virtual bool hasChatTemplate() const { return false; }
};

}  // namespace tokenizers
