#include "tokenizers/BertTokenizer.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "TextTable.h"
#include "hub/Config.h"
#include "tokenizers/TokenizerError.h"
#include "tokenizers/UnicodeText.h"
#include "tokenizers/Utf8.h"

namespace tokenizers {
namespace {

constexpr std::string_view continuationPrefix = "##";

bool isWordSeparator(char32_t c) {
    return c < 0x80 ? c == U' ' || c == U'\t' : unicode::isHorizontalSpace(c);
}

std::optional<int> toId(const hub::Config& value) {
    const auto id = value.integer();
    if (!id || *id < std::numeric_limits<int>::min() || *id > std::numeric_limits<int>::max())
        return std::nullopt;
    return static_cast<int>(*id);
}

}  // namespace

// Keys are stored in NFC, so that canonically equivalent texts find the same entry.
class WordPieceVocabulary {
public:
    // `replace`: an existing entry takes the new id; otherwise the smaller id stays, so that
    // equivalent spellings in one vocabulary resolve the same way whatever their order.
    void insert(std::string_view text, int id, bool replace) {
        std::string buffer;
        const std::string_view key = canonical(text, buffer);
        if (const int* existing = table_.find(key); existing && !replace && *existing <= id)
            return;
        table_.insert(key, id);
    }

    std::optional<int> find(std::string_view text) const {
        std::string buffer;
        const int* id = table_.find(canonical(text, buffer));
        return id ? std::optional<int>(*id) : std::nullopt;
    }

    // Whether `prefix` followed by `text` is an entry; `key` is scratch space.
    bool contains(std::string_view prefix, std::string_view text, std::string& key) const {
        key.assign(prefix);
        key.append(text);
        std::string buffer;
        return table_.find(canonical(key, buffer)) != nullptr;
    }

    // Builds the id -> text table; call after the last insertion.
    void finish() {
        maxKeyCodePoints_ = 0;
        table_.forEach([&](std::string_view text, int id) {
            maxKeyCodePoints_ = std::max(maxKeyCodePoints_, utf8::codePointCount(text));
            // Two texts with one id: keep the one that sorts first, whatever the table's order.
            auto [it, inserted] = tokens_.try_emplace(id, text);
            if (!inserted && text < it->second)
                it->second = text;
        });
    }

    std::optional<std::string> token(int id) const {
        const auto it = tokens_.find(id);
        return it == tokens_.end() ? std::nullopt : std::optional<std::string>(it->second);
    }

    // No entry has more characters than this (each character has at least one code point).
    std::size_t maxKeyCharacters() const { return maxKeyCodePoints_; }

private:
    static std::string_view canonical(std::string_view text, std::string& buffer) {
        if (unicode::isBelowCombiningMarks(text))
            return text;
        buffer = unicode::normalized(text, unicode::NormalizationForm::nfc);
        return buffer;
    }

    TextTable table_;
    std::unordered_map<int, std::string_view> tokens_;  // views into the table's keys
    std::size_t maxKeyCodePoints_ = 0;
};

const std::vector<std::string>& BasicTokenizer::neverSplit() {
    static const std::vector<std::string> words = {"[UNK]", "[SEP]", "[PAD]", "[CLS]", "[MASK]"};
    return words;
}

std::vector<std::string> BasicTokenizer::tokenize(std::string_view text) const {
    std::vector<std::string> words;
    tokenize(text, words);
    return words;
}

void BasicTokenizer::tokenize(std::string_view text, std::vector<std::string>& words) const {
    // Accents are stripped in the decomposed form, which stays decomposed: Hangul syllables
    // become their jamo, which is how the vocabulary spells them.
    std::string folded;
    if (doLowerCase_ && !unicode::isAscii(text)) {
        folded = unicode::withoutNonspacingMarks(text);
        text = folded;
    }
    std::size_t partStart = 0;
    bool inPart = false;
    unicode::forEachCharacter(text, [&](std::string_view character, char32_t first) {
        const auto at = static_cast<std::size_t>(character.data() - text.data());
        if (isWordSeparator(first)) {
            if (inPart)
                splitPart(text.substr(partStart, at - partStart), words);
            inPart = false;
        } else if (!inPart) {
            partStart = at;
            inPart = true;
        }
    });
    if (inPart)
        splitPart(text.substr(partStart), words);
}

void BasicTokenizer::splitPart(std::string_view part, std::vector<std::string>& words) const {
    if (part.front() == '[') {
        const auto& never = neverSplit();
        if (std::find(never.begin(), never.end(), part) != never.end()) {
            words.emplace_back(part);
            return;
        }
    }
    std::string lowered;
    if (doLowerCase_) {
        lowered = unicode::lowercased(part);
        part = lowered;
    }
    std::size_t wordStart = 0;
    unicode::forEachCharacter(part, [&](std::string_view character, char32_t first) {
        if (!unicode::isPunctuationOrAsciiSymbol(first))
            return;
        const auto at = static_cast<std::size_t>(character.data() - part.data());
        if (at > wordStart)
            words.emplace_back(part.substr(wordStart, at - wordStart));
        words.emplace_back(character);
        wordStart = at + character.size();
    });
    if (wordStart < part.size())
        words.emplace_back(part.substr(wordStart));
}

std::vector<std::string> WordpieceTokenizer::tokenize(std::string_view word) const {
    std::vector<std::string> tokens;
    tokenize(word, tokens);
    return tokens;
}

void WordpieceTokenizer::tokenize(std::string_view word, std::vector<std::string>& tokens) const {
    if (word.empty())
        return;
    // Byte offsets of the Unicode scalars' starts, and the end. Pieces are matched scalar by
    // scalar, not by user-perceived character: decomposed Hangul is one character of several
    // jamo, and the vocabulary holds the jamo.
    thread_local std::vector<std::size_t> bounds;
    bounds.clear();
    for (std::size_t i = 0; i < word.size();) {
        bounds.push_back(i);
        utf8::decode(word, i);
    }
    const std::size_t n = bounds.size();
    bounds.push_back(word.size());
    if (n > maxInputCharsPerWord) {
        tokens.emplace_back(unkToken);
        return;
    }
    // Text below U+0300 is in NFC already, so no piece longer than the longest key can match.
    const std::size_t longest =
        unicode::isBelowCombiningMarks(word) ? vocab_.maxKeyCharacters() : n;
    const std::size_t firstToken = tokens.size();
    std::string key;
    for (std::size_t start = 0; start < n;) {
        const std::string_view prefix = start > 0 ? continuationPrefix : std::string_view();
        std::size_t end = std::min(n, start + longest);
        for (; end > start; --end) {
            const std::string_view piece = word.substr(bounds[start], bounds[end] - bounds[start]);
            if (vocab_.contains(prefix, piece, key))
                break;
        }
        if (end == start) {
            tokens.resize(firstToken);
            tokens.emplace_back(unkToken);
            return;
        }
        tokens.push_back(key);
        start = end;
    }
}

BertTokenizer::BertTokenizer(const TextToId& vocab, Options options)
    : BertTokenizer(
          [&] {
              auto table = std::make_unique<WordPieceVocabulary>();
              for (const auto& [text, id] : vocab)
                  table->insert(text, id, false);
              table->finish();
              return table;
          }(),
          std::move(options)) {}

BertTokenizer::BertTokenizer(std::unique_ptr<WordPieceVocabulary> vocab, Options options)
    : vocab_(std::move(vocab)),
      basicTokenizer_(options.doLowerCase),
      wordpieceTokenizer_(*vocab_),
      tokenizeChineseChars_(options.tokenizeChineseChars) {
    special_.bosToken = std::move(options.bosToken);
    special_.eosToken = std::move(options.eosToken);
    special_.unknownToken = std::string(WordpieceTokenizer::unkToken);
    special_.fuseUnknownTokens = options.fuseUnknownTokens;
    if (special_.bosToken)
        special_.bosTokenId = vocab_->find(*special_.bosToken);
    if (special_.eosToken)
        special_.eosTokenId = vocab_->find(*special_.eosToken);
    special_.unknownTokenId = vocab_->find(WordpieceTokenizer::unkToken);
}

BertTokenizer::~BertTokenizer() = default;

std::unique_ptr<BertTokenizer> BertTokenizer::fromConfig(const hub::Config& tokenizerConfig,
                                                         const hub::Config& tokenizerData,
                                                         const TextToId& addedTokens) {
    const hub::Config vocabConfig = tokenizerData["model"]["vocab"];
    const hub::Config::Dictionary* vocab = vocabConfig.dictionary();
    if (vocab == nullptr)
        throw TokenizerError::missingVocab();
    auto table = std::make_unique<WordPieceVocabulary>();
    for (const auto& [text, value] : *vocab) {
        if (const auto id = toId(value))
            table->insert(text.string(), *id, false);
    }
    const hub::Config described = tokenizerData["addedTokens"];
    if (const auto* entries = described.array()) {
        for (const hub::Config& entry : *entries) {
            const auto id = toId(entry["id"]);
            const auto content = entry["content"].string();
            if (id && content)
                table->insert(*content, *id, true);
        }
    }
    for (const auto& [text, id] : addedTokens)
        table->insert(text, id, true);
    table->finish();

    Options options;
    options.tokenizeChineseChars = tokenizerConfig["handleChineseChars"].boolean(true);
    options.eosToken = tokenizerConfig["eosToken"].string();
    options.bosToken = tokenizerConfig["bosToken"].string();
    options.fuseUnknownTokens = tokenizerConfig["fuseUnk"].boolean(false);
    options.doLowerCase = tokenizerConfig["doLowerCase"].boolean(true);
    return std::unique_ptr<BertTokenizer>(new BertTokenizer(std::move(table), std::move(options)));
}

std::vector<std::string> BertTokenizer::tokenize(std::string_view text) const {
    std::vector<std::string> tokens;
    tokenize(text, tokens);
    return tokens;
}

void BertTokenizer::tokenize(std::string_view text, std::vector<std::string>& tokens) const {
    std::string spaced;
    if (tokenizeChineseChars_) {
        spaced = unicode::spacedCJKIdeographs(text);
        text = spaced;
    }
    thread_local std::vector<std::string> words;
    words.clear();
    basicTokenizer_.tokenize(text, words);
    for (const std::string& word : words)
        wordpieceTokenizer_.tokenize(word, tokens);
}

std::optional<int> BertTokenizer::convertTokenToId(std::string_view token) const {
    if (const auto id = vocab_->find(token))
        return id;
    return special_.unknownTokenId;
}

std::optional<std::string> BertTokenizer::convertIdToToken(int id) const {
    return vocab_->token(id);
}

}  // namespace tokenizers
