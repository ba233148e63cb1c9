#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizers/TokenizingModel.h"

namespace tokenizers {

class PieceCache;

// The unigram-language-model tokenizer (the SentencePiece kind): every vocabulary piece has a
// score, and a piece of text is cut into the vocabulary pieces whose scores add up to the highest
// total (Viterbi over the lattice of all pieces that occur in it).
//
// Positions are characters (extended grapheme clusters); a vocabulary piece matches text with
// exactly its code units, so a piece never matches part of a character, and text that is only
// canonically equivalent to a piece does not match it. A character that no one-character piece
// covers is cut as its own token with the unknown piece's score, `minScore` - 10; the tokenizer
// maps such tokens to the unknown id and fuses runs of them.
//
// Among cuts of equal total the one whose last piece starts earliest wins, at every position
// (with pieces a, b and ab scoring -1, -1 and -2, "ab" is one token).
class UnigramTokenizer : public TokenizingModel {
public:
    struct SentencePieceToken {
        std::string token;
        float score = 0;
    };

    // A piece's id is its position in `vocab`; the first of two pieces with the same text keeps
    // the text's id. Throws TokenizerError (malformedVocab) for an `unknownTokenId` outside the
    // vocabulary.
    UnigramTokenizer(std::vector<SentencePieceToken> vocab, int unknownTokenId,
                     std::optional<std::string> eosToken);

    // The model of a tokenizer description: "model"."vocab" (a list of [piece, score] entries)
    // and "model"."unk_id", and "eos_token" from the tokenizer configuration. Throws
    // TokenizerError: missingVocab without a vocabulary list, malformedVocab for an entry that is
    // not a list starting with a text and ending with a number, and for a missing, non-integer or
    // out-of-range "unk_id".
    UnigramTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData);
    ~UnigramTokenizer() override;

    using TokenizingModel::tokenize;
    std::vector<std::string> tokenize(std::string_view text) const override;
    void tokenize(std::string_view text, std::vector<std::string>& tokens) const override;

    std::optional<int> convertTokenToId(std::string_view token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;

    const std::vector<SentencePieceToken>& vocab() const { return vocab_; }
    // The lowest score of the vocabulary, 999 when it is empty.
    float minScore() const { return minScore_; }
    // The piece at the unknown id, scored `minScore` - 10.
    const SentencePieceToken& unknownPiece() const { return unknownPiece_; }

private:
    class Tables;
    struct Description {
        std::vector<SentencePieceToken> vocab;
        int unknownTokenId = 0;
        std::optional<std::string> eosToken;
    };
    static Description read(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData);
    explicit UnigramTokenizer(Description description);
    void tokenizeUncached(std::string_view text, std::vector<std::string>& tokens) const;

    std::vector<SentencePieceToken> vocab_;
    float minScore_ = 999;
    SentencePieceToken unknownPiece_;
    std::unique_ptr<Tables> tables_;
    // Words repeat: the tokens of recent short pieces are kept.
    std::unique_ptr<PieceCache> cache_;
};

// The model of T5 descriptions: the unigram model unchanged.
class T5Tokenizer : public UnigramTokenizer {
public:
    using UnigramTokenizer::UnigramTokenizer;
};

}  // namespace tokenizers
