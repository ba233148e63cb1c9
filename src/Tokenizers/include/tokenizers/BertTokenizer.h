#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizers/TokenizingModel.h"

namespace tokenizers {

// Token text -> id under canonical equivalence, and id -> token text.
class WordPieceVocabulary;

// Splits text into words: accents folded away and case lowered (when `doLowerCase`), cut at
// white space (space separators and tabs; line breaks are not separators) and around every
// punctuation character (general category P, and the ASCII symbols such as "$", "+" and "~").
// The words of `neverSplit` ("[UNK]", "[SEP]", "[PAD]", "[CLS]", "[MASK]") stay whole.
class BasicTokenizer {
public:
    explicit BasicTokenizer(bool doLowerCase) : doLowerCase_(doLowerCase) {}

    std::vector<std::string> tokenize(std::string_view text) const;
    // The same words, appended to `words`.
    void tokenize(std::string_view text, std::vector<std::string>& words) const;

    bool doLowerCase() const { return doLowerCase_; }
    static const std::vector<std::string>& neverSplit();

private:
    void splitPart(std::string_view part, std::vector<std::string>& words) const;

    bool doLowerCase_;
};

// Greedy longest-match-first splitting of one word into vocabulary entries: the first piece as
// it is, every later one with the prefix "##". A word that cannot be covered, or that has more
// than `maxInputCharsPerWord` Unicode scalars, is the one token "[UNK]".
class WordpieceTokenizer {
public:
    static constexpr std::string_view unkToken = "[UNK]";
    static constexpr std::size_t maxInputCharsPerWord = 100;

    explicit WordpieceTokenizer(const WordPieceVocabulary& vocab) : vocab_(vocab) {}

    std::vector<std::string> tokenize(std::string_view word) const;
    void tokenize(std::string_view word, std::vector<std::string>& tokens) const;

private:
    const WordPieceVocabulary& vocab_;
};

// The WordPiece model of BERT-style descriptions. Each piece goes through its own small pipeline:
// CJK ideographs spaced apart (when `tokenizeChineseChars`), the basic splitter, then the
// word-piece splitter on every word.
//
// The vocabulary compares texts under canonical equivalence (a precomposed letter equals the
// letter with its combining mark), and gives texts back from ids in their composed form (NFC).
// The unknown token is always "[UNK]"; its id is nothing when the vocabulary lacks it.
class BertTokenizer : public TokenizingModel {
public:
    struct Options {
        bool tokenizeChineseChars = true;
        std::optional<std::string> bosToken;
        std::optional<std::string> eosToken;
        bool fuseUnknownTokens = false;
        bool doLowerCase = true;
    };

    BertTokenizer(const TextToId& vocab, Options options);
    ~BertTokenizer() override;

    // The model of a tokenizer description: "model"."vocab" (a dictionary; integer values only),
    // then the description's "added_tokens" and then `addedTokens`, each winning over what came
    // before; "handle_chinese_chars", "bos_token", "eos_token", "fuse_unk" and "do_lower_case"
    // from the tokenizer configuration. Throws TokenizerError (missingVocab).
    static std::unique_ptr<BertTokenizer> fromConfig(const hub::Config& tokenizerConfig,
                                                     const hub::Config& tokenizerData,
                                                     const TextToId& addedTokens);

    using TokenizingModel::tokenize;
    std::vector<std::string> tokenize(std::string_view text) const override;
    void tokenize(std::string_view text, std::vector<std::string>& tokens) const override;

    std::optional<int> convertTokenToId(std::string_view token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;

    const BasicTokenizer& basicTokenizer() const { return basicTokenizer_; }
    const WordpieceTokenizer& wordpieceTokenizer() const { return wordpieceTokenizer_; }

private:
    BertTokenizer(std::unique_ptr<WordPieceVocabulary> vocab, Options options);

    std::unique_ptr<WordPieceVocabulary> vocab_;
    BasicTokenizer basicTokenizer_;
    WordpieceTokenizer wordpieceTokenizer_;
    bool tokenizeChineseChars_;
};

}  // namespace tokenizers
