#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tokenizers/TokenizingModel.h"

namespace tokenizers {

class PieceCache;
struct BPEParts;

// The byte-pair-encoding model: a piece is cut into characters (extended grapheme clusters),
// adjacent symbols are merged by the ranked merge list, and every resulting symbol that the
// vocabulary lacks (or that maps to the unknown token) is replaced by its byte tokens "<0xHH>".
//
// Safe to share between threads (the cache of recent pieces has its own locks).
//
// Merge pairs compare their texts under canonical equivalence (a precomposed letter equals the
// letter with a combining mark); the vocabulary compares exact text.
class BPETokenizer : public TokenizingModel {
public:
    struct SpecialTokens {
        std::optional<std::string> unknownToken;
        std::optional<std::string> bosToken;
        std::optional<std::string> eosToken;
        bool fuseUnknownTokens = false;
    };

    // `merges`: each entry's first two texts form one merge, ranked by position (a pair listed
    // again takes the later rank); entries with fewer than two texts are skipped.
    BPETokenizer(TextToId vocabulary, const std::vector<std::vector<std::string>>& merges,
                 SpecialTokens specialTokens);
    ~BPETokenizer() override;

    // The model of a tokenizer description: "model"."merges" (required; lists of texts or texts
    // "a b") and "model"."vocab" (a dictionary; integer values only), with the added tokens
    // winning over the vocabulary, and "unk_token", "bos_token", "eos_token", "fuse_unk" from the
    // tokenizer configuration. Throws TokenizerError: missingVocab, or invalidDescription
    // ("BPETokenizer requires merges").
    static std::unique_ptr<BPETokenizer> fromConfig(const hub::Config& tokenizerConfig,
                                                    const hub::Config& tokenizerData,
                                                    const TextToId& addedTokens);

    // The same model from the vocabulary and merges of a description read apart from its other
    // values (the tokenizer configuration gives the special tokens). The merges are interned on
    // the first encoding.
    static std::unique_ptr<BPETokenizer> fromParts(const hub::Config& tokenizerConfig,
                                                   BPEParts parts, const TextToId& addedTokens);

    // Merges from a description's "merges": nothing unless it is a list.
    static std::optional<std::vector<std::vector<std::string>>> mergesFromConfig(
        const hub::Config* merges);

    std::vector<std::string> tokenize(std::string_view text) const override;
    void tokenize(std::string_view text, std::vector<std::string>& tokens) const override;
    // The merged symbols of one piece joined by single spaces.
    std::string bpe(std::string_view token) const;
    // Byte fallback: one "<0xHH>" token per UTF-8 byte.
    static std::vector<std::string> hexaEncode(std::string_view text);

    std::optional<int> convertTokenToId(std::string_view token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;

private:
    struct Symbol {
        std::uint32_t begin;
        std::uint32_t end;
        std::uint32_t id;  // canonical-equivalence class of the symbol's text
    };
    struct Tables;

    BPETokenizer(std::unique_ptr<Tables> tables, SpecialTokens specialTokens);
    static SpecialTokens specialTokens(const hub::Config& tokenizerConfig);

    void mergeSymbols(std::string_view piece, std::vector<Symbol>& symbols) const;
    void mergeInPasses(std::vector<Symbol>& symbols) const;
    void mergeWithQueue(std::vector<Symbol>& symbols) const;
    std::uint32_t symbolId(std::string_view cluster) const;
    std::optional<int> vocabularyId(std::string_view text) const;

    void tokenizeUncached(std::string_view text, std::vector<std::string>& tokens) const;

    std::unique_ptr<Tables> tables_;
    // Words repeat: the tokens of recent short pieces are kept, which changes no result.
    std::unique_ptr<PieceCache> cache_;
};

}  // namespace tokenizers
