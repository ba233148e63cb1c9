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

// Converts each item with `convert`, in order: the batched token/id conversions of models and
// tokenizers alike.
template <class Item, class Convert>
auto convertEach(const std::vector<Item>& items, Convert convert) {
    std::vector<decltype(convert(items.front()))> out;
    out.reserve(items.size());
    for (const Item& item : items)
        out.push_back(convert(item));
    return out;
}

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

    const std::optional<std::string>& bosToken() const { return special_.bosToken; }
    std::optional<int> bosTokenId() const { return special_.bosTokenId; }
    const std::optional<std::string>& eosToken() const { return special_.eosToken; }
    std::optional<int> eosTokenId() const { return special_.eosTokenId; }
    const std::optional<std::string>& unknownToken() const { return special_.unknownToken; }
    std::optional<int> unknownTokenId() const { return special_.unknownTokenId; }
    // Whether consecutive unknown tokens fuse into one.
    bool fuseUnknownTokens() const { return special_.fuseUnknownTokens; }

protected:
    // The special tokens and their ids (nothing where the model has none or its vocabulary lacks
    // it), filled in by each model's constructor.
    struct SpecialTokenIds {
        std::optional<std::string> bosToken;
        std::optional<int> bosTokenId;
        std::optional<std::string> eosToken;
        std::optional<int> eosTokenId;
        std::optional<std::string> unknownToken;
        std::optional<int> unknownTokenId;
        bool fuseUnknownTokens = false;
    };
    SpecialTokenIds special_;
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
