#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace hub {
class Config;
}

namespace tokenizers {

// Hashing for maps keyed by exact text (UTF-8 bytes, equivalently UTF-16 code units) that are
// looked up with string views.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};
using TextToId = std::unordered_map<std::string, int, TextHash, std::equal_to<>>;

// The stage that turns one pre-tokenized piece into token strings and maps tokens to ids and
// back. Immutable after construction and safe to share between threads.
class TokenizingModel {
public:
    virtual ~TokenizingModel() = default;

    virtual std::vector<std::string> tokenize(std::string_view text) const = 0;
    // The same tokens, appended to `tokens`.
    virtual void tokenize(std::string_view text, std::vector<std::string>& tokens) const;
    std::vector<std::string> operator()(std::string_view text) const { return tokenize(text); }

    // The id of a token; the unknown token's id for text outside the vocabulary, nothing when
    // the model has no unknown token.
    virtual std::optional<int> convertTokenToId(std::string_view token) const = 0;
    std::vector<std::optional<int>> convertTokensToIds(
        const std::vector<std::string>& tokens) const;
    virtual std::optional<std::string> convertIdToToken(int id) const = 0;
    std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int>& ids) const;

    virtual const std::optional<std::string>& bosToken() const = 0;
    virtual std::optional<int> bosTokenId() const = 0;
    virtual const std::optional<std::string>& eosToken() const = 0;
    virtual std::optional<int> eosTokenId() const = 0;
    virtual const std::optional<std::string>& unknownToken() const = 0;
    virtual std::optional<int> unknownTokenId() const = 0;
    // Whether consecutive unknown tokens fuse into one.
    virtual bool fuseUnknownTokens() const = 0;
};

// The model kinds a tokenizer class can name.
enum class TokenizerModelKind { bpe, bert, unigram, t5 };

struct TokenizerModel {
    // Tokenizer class name (without "Fast") -> model kind; names compare exactly.
    static const std::map<std::string, TokenizerModelKind, std::less<>>& knownTokenizers();

    // Builds a model of `kind` from the tokenizer configuration, the tokenizer data and the added
    // tokens (content -> id). Throws the model's TokenizerError.
    static std::unique_ptr<TokenizingModel> make(TokenizerModelKind kind,
                                                 const hub::Config& tokenizerConfig,
                                                 const hub::Config& tokenizerData,
                                                 const TextToId& addedTokens);
};

}  // namespace tokenizers
