#include "rararozuvu/models/WhisperTokenizerWrapper.h"

#include <algorithm>
#include <array>
#include <limits>

#include "../audio/platform/LanguageRecognizer.h"
#include "rararozuvu/models/Constants.h"
#include "tokenizers/UnicodeText.h"
#include "tokenizers/Utf8.h"

namespace rararozuvu {

namespace {

constexpr std::string_view endOfText = "<|endoftext|>";

// Languages written without blanks between words: their text is split into characters.
constexpr std::array<std::string_view, 6> unspacedLanguages = {"zh", "ja", "th", "lo", "my", "yue"};

bool looksSpecial(std::string_view token) {
    return token.size() >= 4 && token.starts_with("<|") && token.ends_with("|>");
}

std::vector<char32_t> codePoints(std::string_view text) {
    std::vector<char32_t> points;
    points.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        points.push_back(tokenizers::utf8::decode(text, i));
    }
    return points;
}

// One blank-free code point of general category P, as the word splitter calls punctuation.
bool isPunctuation(std::string_view text) {
    std::vector<char32_t> points = codePoints(text);
    const auto blank = [](char32_t c) { return tokenizers::unicode::isHorizontalSpace(c); };
    const auto first = std::find_if_not(points.begin(), points.end(), blank);
    const auto last = std::find_if_not(points.rbegin(), points.rend(), blank).base();
    return first != points.end() && last - first == 1 && tokenizers::unicode::isPunctuation(*first);
}

// The tokenizer takes 32-bit ids; an id beyond them names no token and decodes to nothing.
std::vector<int> narrowed(const std::vector<std::int64_t>& tokens) {
    std::vector<int> ids;
    ids.reserve(tokens.size());
    for (std::int64_t id : tokens) {
        if (id >= std::numeric_limits<int>::min() && id <= std::numeric_limits<int>::max()) {
            ids.push_back(static_cast<int>(id));
        }
    }
    return ids;
}

}  // namespace

WhisperTokenizerWrapper::WhisperTokenizerWrapper(
    std::shared_ptr<const tokenizers::Tokenizer> tokenizer,
    std::optional<std::filesystem::path> tokenizerFolder)
    : tokenizer_(std::move(tokenizer)), tokenizerFolder_(std::move(tokenizerFolder)) {
    const std::int64_t endToken = convertTokenToId(endOfText).value_or(50257);
    // Whisper's usual id, unless this vocabulary uses it for another of its control tokens (the
    // English-only layout sits one below the multilingual one): then the end of text, an id that
    // is at least a token of this vocabulary.
    const auto fallback = [&](std::int64_t id, std::string_view text) {
        const auto token = convertIdToToken(id);
        return token && *token != text && looksSpecial(*token) ? endToken : id;
    };
    const auto resolve = [&](std::string_view text, std::int64_t id) {
        if (const auto found = convertTokenToId(text)) {
            return *found;
        }
        return fallback(id, text);
    };
    const std::optional<std::int64_t> noTimestamps = convertTokenToId("<|notimestamps|>");
    const std::optional<std::int64_t> noSpeech = [&] {
        const auto id = convertTokenToId("<|nospeech|>");
        return id ? id : convertTokenToId("<|nocaptions|>");
    }();
    // Timestamps follow "<|notimestamps|>" directly in every layout; vocabularies written
    // without the timestamp tokens still have that one.
    const std::optional<std::int64_t> firstTimestamp = [&]() -> std::optional<std::int64_t> {
        if (const auto id = convertTokenToId("<|0.00|>")) {
            return id;
        }
        if (noTimestamps) {
            return *noTimestamps + 1;
        }
        return std::nullopt;
    }();

    specialTokens_ = SpecialTokens{
        .endToken = endToken,
        .englishToken = resolve("<|en|>", 50259),
        .noSpeechToken = noSpeech ? *noSpeech : fallback(50362, "<|nospeech|>"),
        .noTimestampsToken = noTimestamps ? *noTimestamps : fallback(50363, "<|notimestamps|>"),
        .specialTokenBegin = endToken,
        .startOfPreviousToken = resolve("<|startofprev|>", 50361),
        .startOfTranscriptToken = resolve("<|startoftranscript|>", 50258),
        .timeTokenBegin = firstTimestamp ? *firstTimestamp : fallback(50364, "<|0.00|>"),
        .transcribeToken = resolve("<|transcribe|>", 50359),
        .translateToken = resolve("<|translate|>", 50358),
        .whitespaceToken = resolve(" ", 220),
    };

    for (const std::string& code : Constants::languageCodes()) {
        const auto id = convertTokenToId("<|" + code + "|>");
        if (id && *id > specialTokens_.specialTokenBegin) {
            allLanguageTokens_.insert(*id);
        }
    }
}

std::vector<std::int64_t> WhisperTokenizerWrapper::encode(std::string_view text) const {
    const std::vector<int> ids = tokenizer_->encode(text);
    return std::vector<std::int64_t>(ids.begin(), ids.end());
}

std::string WhisperTokenizerWrapper::decode(const std::vector<std::int64_t>& tokens) const {
    return tokenizer_->decode(narrowed(tokens));
}

std::optional<std::int64_t> WhisperTokenizerWrapper::convertTokenToId(
    std::string_view token) const {
    const std::optional<int> id = tokenizer_->convertTokenToId(token);
    if (!id) {
        return std::nullopt;
    }
    // A tokenizer answers every text it lacks with its unknown token's id (Whisper's is the end
    // of text); only the unknown token's own text truly has that id.
    if (id == tokenizer_->unknownTokenId() && tokenizer_->convertIdToToken(*id) != token) {
        return std::nullopt;
    }
    return *id;
}

std::optional<std::string> WhisperTokenizerWrapper::convertIdToToken(std::int64_t id) const {
    if (id < std::numeric_limits<int>::min() || id > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }
    return tokenizer_->convertIdToToken(static_cast<int>(id));
}

WordTokens WhisperTokenizerWrapper::splitToWordTokens(
    const std::vector<std::int64_t>& tokenIds) const {
    std::vector<std::int64_t> textTokens;
    for (std::int64_t id : tokenIds) {
        if (id < specialTokens_.specialTokenBegin) {
            textTokens.push_back(id);
        }
    }
    const std::optional<std::string> language = platform::dominantLanguage(decode(textTokens));
    const bool unspaced = language && std::find(unspacedLanguages.begin(), unspacedLanguages.end(),
                                                *language) != unspacedLanguages.end();
    return unspaced ? splitTokensOnUnicode(tokenIds) : splitTokensOnSpaces(tokenIds);
}

WordTokens WhisperTokenizerWrapper::splitTokensOnUnicode(
    const std::vector<std::int64_t>& tokenIds) const {
    const std::vector<char32_t> full = codePoints(decode(tokenIds));
    // Replacement characters at the very end of the full text stand for a character the ids
    // stop inside of, not for one the text holds: they close no run.
    std::size_t trailingStart = full.size();
    while (trailingStart > 0 && full[trailingStart - 1] == tokenizers::utf8::replacementCharacter) {
        --trailingStart;
    }
    WordTokens split;
    std::vector<std::int64_t> run;
    // Positions count code points, so the runs' lengths add up to positions in the full text.
    std::size_t offset = 0;
    for (std::int64_t id : tokenIds) {
        run.push_back(id);
        std::string text = decode(run);
        const std::vector<char32_t> points = codePoints(text);
        const auto replacement =
            std::find(points.begin(), points.end(), tokenizers::utf8::replacementCharacter);
        // A run that decodes to a replacement character is still waiting for the rest of a
        // character, unless the full text has a replacement character at that very place.
        bool closed = replacement == points.end();
        if (!closed) {
            const std::size_t position =
                offset + static_cast<std::size_t>(replacement - points.begin());
            closed = position < trailingStart &&
                     full[position] == tokenizers::utf8::replacementCharacter;
        }
        if (closed) {
            offset += points.size();
            split.words.push_back(std::move(text));
            split.wordTokens.push_back(std::move(run));
            run.clear();
        }
    }
    return split;
}

WordTokens WhisperTokenizerWrapper::splitTokensOnSpaces(
    const std::vector<std::int64_t>& tokenIds) const {
    WordTokens subwords = splitTokensOnUnicode(tokenIds);
    WordTokens split;
    for (std::size_t i = 0; i < subwords.words.size(); ++i) {
        std::string& subword = subwords.words[i];
        std::vector<std::int64_t>& run = subwords.wordTokens[i];
        const bool special = run.front() >= specialTokens_.specialTokenBegin;
        const bool startsWithSpace = subword.starts_with(' ');
        if (special || startsWithSpace || isPunctuation(subword) || split.words.empty()) {
            split.words.push_back(std::move(subword));
            split.wordTokens.push_back(std::move(run));
        } else {
            split.words.back() += subword;
            auto& tokens = split.wordTokens.back();
            tokens.insert(tokens.end(), run.begin(), run.end());
        }
    }
    return split;
}

}  // namespace rararozuvu
