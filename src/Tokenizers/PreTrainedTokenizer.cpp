#include "tokenizers/PreTrainedTokenizer.h"

#include <algorithm>
#include <iostream>
#include <limits>

#include "BPEParts.h"
#include "tokenizers/BPETokenizer.h"
#include "tokenizers/StringSplitting.h"
#include "tokenizers/TokenizerError.h"
#include "tokenizers/UnicodeText.h"
#include "tokenizers/Utf8.h"

namespace tokenizers {
namespace {

struct SplitToken {
    std::string content;
    bool lstrip = false;
    bool rstrip = false;
};

// One alternative per added token, longest (in characters) first so that a token wins over a
// shorter one that is its prefix; equal lengths keep file order.
std::optional<Regex> addedTokensPattern(std::vector<SplitToken> tokens) {
    std::vector<std::size_t> lengths;
    lengths.reserve(tokens.size());
    for (const SplitToken& t : tokens)
        lengths.push_back(unicode::graphemeCount(t.content));
    std::vector<std::size_t> order(tokens.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return lengths[a] > lengths[b]; });
    std::string pattern;
    for (std::size_t i : order) {
        const SplitToken& t = tokens[i];
        if (!pattern.empty())
            pattern += '|';
        if (t.lstrip)
            pattern += R"(\s*)";
        pattern += '(' + Regex::escapedPattern(t.content) + ')';
        if (t.rstrip)
            pattern += R"(\s*)";
    }
    if (pattern.empty())
        return std::nullopt;
    return Regex::compile(pattern);
}

}  // namespace

struct PreTrainedTokenizer::AddedTokensSplit {
    std::vector<SplitToken> tokens;  // until compiled
    std::once_flag compiled;
    std::optional<Regex> regex;
};

PreTrainedTokenizer::~PreTrainedTokenizer() = default;

const std::optional<Regex>& PreTrainedTokenizer::addedTokensRegex() const {
    AddedTokensSplit& split = *addedTokensSplit_;
    std::call_once(split.compiled, [&] {
        split.regex = addedTokensPattern(std::move(split.tokens));
        split.tokens = {};
    });
    return split.regex;
}

PreTrainedTokenizer::PreTrainedTokenizer(const hub::Config& tokenizerConfig,
                                         const hub::Config& tokenizerData, bool strict)
    : PreTrainedTokenizer(tokenizerConfig, tokenizerData, strict, nullptr) {}

std::unique_ptr<PreTrainedTokenizer> PreTrainedTokenizer::fromDataText(
    const hub::Config& tokenizerConfig, std::string_view tokenizerData, bool strict) {
    const auto tokenizerClass = tokenizerConfig["tokenizerClass"].string();
    if (!tokenizerClass)
        return nullptr;
    const auto& known = TokenizerModel::knownTokenizers();
    const auto it = known.find(replacingOccurrences(*tokenizerClass, "Fast", ""));
    if (it == known.end() || it->second != TokenizerModelKind::bpe)
        return nullptr;
    BPEParts parts;
    const std::optional<hub::Config> data = readWithoutBPETables(tokenizerData, parts);
    if (!data)
        return nullptr;
    return std::unique_ptr<PreTrainedTokenizer>(
        new PreTrainedTokenizer(tokenizerConfig, *data, strict, &parts));
}

PreTrainedTokenizer::PreTrainedTokenizer(const hub::Config& tokenizerConfig,
                                         const hub::Config& tokenizerData, bool strict,
                                         BPEParts* bpeParts)
    : tokenizerConfig_(tokenizerConfig) {
    const hub::Config addedConfig = tokenizerData["addedTokens"];
    static const hub::Config::Array none;
    const hub::Config::Array& entries = addedConfig.array() ? *addedConfig.array() : none;

    TextToId addedTokenIds;
    for (const hub::Config& entry : entries) {
        const auto id = entry["id"].integer();
        auto content = entry["content"].string();
        if (!id || !content || *id < std::numeric_limits<int>::min() ||
            *id > std::numeric_limits<int>::max()) {
            continue;
        }
        addedTokenIds.insert_or_assign(*content, static_cast<int>(*id));
        if (entry["special"].boolean(false)) {
            specialTokens_.insert_or_assign(*content, static_cast<int>(*id));
        }
    }
    for (const auto& [content, id] : specialTokens_)
        specialTokenIds_.insert(id);

    std::vector<SplitToken> splitTokens;
    for (const hub::Config& entry : entries) {
        auto content = entry["content"].string();
        // An empty token cannot be found in text; as a pattern it would match everywhere.
        if (!content || content->empty())
            continue;
        splitTokens.push_back(
            {std::move(*content), entry["lstrip"].boolean(false), entry["rstrip"].boolean(false)});
    }
    addedTokensSplit_ = std::make_unique<AddedTokensSplit>();
    addedTokensSplit_->tokens = std::move(splitTokens);
    for (const auto& [content, id] : addedTokenIds)
        addedTokens_.insert(content);

    const hub::Config preTokenizerConfig = tokenizerData["preTokenizer"];
    preTokenizer_ = PreTokenizerFactory::fromConfig(&preTokenizerConfig);
    const hub::Config normalizerConfig = tokenizerData["normalizer"];
    normalizer_ = NormalizerFactory::fromConfig(&normalizerConfig);
    const hub::Config postProcessorConfig = tokenizerData["postProcessor"];
    postProcessor_ = PostProcessorFactory::fromConfig(&postProcessorConfig);
    const hub::Config decoderConfig = tokenizerData["decoder"];
    decoder_ = DecoderFactory::fromConfig(&decoderConfig, &addedTokens_);

    cleanUpTokenizationSpaces_ = tokenizerConfig["cleanUpTokenizationSpaces"].boolean(true);

    const auto tokenizerClass = tokenizerConfig["tokenizerClass"].string();
    if (!tokenizerClass)
        throw TokenizerError::missingTokenizerClassInConfig();
    const std::string className = replacingOccurrences(*tokenizerClass, "Fast", "");
    const auto& known = TokenizerModel::knownTokenizers();
    TokenizerModelKind kind = TokenizerModelKind::bpe;
    if (const auto it = known.find(className); it != known.end()) {
        kind = it->second;
    } else if (strict) {
        throw TokenizerError::unsupportedTokenizer(className);
    } else {
        std::cout << "Warning: Tokenizer model class " << className
                  << " is not registered, falling back to a standard BPE implementation."
                  << std::endl;
    }
    if (bpeParts && kind == TokenizerModelKind::bpe) {
        model_ = BPETokenizer::fromParts(tokenizerConfig, std::move(*bpeParts), addedTokenIds);
    } else {
        model_ = TokenizerModel::make(kind, tokenizerConfig, tokenizerData, addedTokenIds);
    }
}

std::vector<std::string> PreTrainedTokenizer::preTokenize(std::string_view text,
                                                          PreTokenizerOptions options) const {
    if (!preTokenizer_)
        return {std::string(text)};
    return (*preTokenizer_)(text, options);
}

std::string PreTrainedTokenizer::normalize(std::string_view text) const {
    if (!normalizer_)
        return std::string(text);
    return (*normalizer_)(text);
}

std::vector<std::string> PreTrainedTokenizer::postProcess(std::vector<std::string> tokens,
                                                          bool addSpecialTokens) const {
    if (!postProcessor_)
        return tokens;
    return (*postProcessor_)(std::move(tokens), std::nullopt, addSpecialTokens);
}

std::vector<std::string> PreTrainedTokenizer::decodeTokens(
    const std::vector<std::string>& tokens) const {
    if (!decoder_)
        return tokens;
    return (*decoder_)(tokens);
}

std::string PreTrainedTokenizer::cleanUp(std::string text) const {
    if (!cleanUpTokenizationSpaces_)
        return text;
    static constexpr std::pair<std::string_view, std::string_view> replacements[] = {
        {" .", "."},     {" ?", "?"},   {" !", "!"},   {" ,", ","},     {" ' ", "'"},
        {" n't", "n't"}, {" 'm", "'m"}, {" 's", "'s"}, {" 've", "'ve"}, {" 're", "'re"},
    };
    for (const auto& [target, with] : replacements)
        text = replacingOccurrences(text, target, with);
    return text;
}

std::vector<std::string> PreTrainedTokenizer::fuseUnknown(std::vector<std::string> tokens) const {
    if (!model_->fuseUnknownTokens())
        return tokens;
    const std::optional<int> unknownId = model_->unknownTokenId();
    std::vector<std::string> out;
    out.reserve(tokens.size());
    bool previousUnknown = false;
    for (std::string& token : tokens) {
        const bool unknown = model_->convertTokenToId(token) == unknownId;
        if (!(unknown && previousUnknown))
            out.push_back(std::move(token));
        previousUnknown = unknown;
    }
    return out;
}

std::vector<std::string> PreTrainedTokenizer::tokenize(std::string_view rawText) const {
    // Text arrives from anywhere; the pipeline works on well-formed UTF-8 only.
    const std::string text = utf8::sanitized(rawText);
    std::vector<std::string> sections =
        addedTokensRegex() ? split(text, *addedTokensRegex()) : std::vector<std::string>{text};
    std::vector<std::string> tokens;
    tokens.reserve(text.size() / 3 + 4);
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (addedTokens_.contains(sections[i])) {
            tokens.push_back(std::move(sections[i]));
            continue;
        }
        const PreTokenizerOptions options =
            i == 0 ? PreTokenizerOptions{PreTokenizerOption::firstSection} : PreTokenizerOptions{};
        const std::size_t sectionStart = tokens.size();
        for (const std::string& piece : preTokenize(normalize(sections[i]), options)) {
            model_->tokenize(piece, tokens);
        }
        if (model_->fuseUnknownTokens()) {
            std::vector<std::string> sectionTokens(
                std::make_move_iterator(tokens.begin() + static_cast<std::ptrdiff_t>(sectionStart)),
                std::make_move_iterator(tokens.end()));
            tokens.resize(sectionStart);
            sectionTokens = fuseUnknown(std::move(sectionTokens));
            tokens.insert(tokens.end(), std::make_move_iterator(sectionTokens.begin()),
                          std::make_move_iterator(sectionTokens.end()));
        }
    }
    return tokens;
}

std::vector<int> PreTrainedTokenizer::encode(std::string_view text, bool addSpecialTokens) const {
    const std::vector<std::string> tokens = postProcess(tokenize(text), addSpecialTokens);
    std::vector<int> ids;
    ids.reserve(tokens.size());
    for (const std::string& token : tokens) {
        const auto id = model_->convertTokenToId(token);
        if (!id) {
            throw TokenizerError::mismatchedConfig("the token '" + token +
                                                   "' has no id in the vocabulary");
        }
        ids.push_back(*id);
    }
    return ids;
}

std::string PreTrainedTokenizer::decode(const std::vector<int>& ids, bool skipSpecialTokens) const {
    std::vector<std::string> tokens;
    tokens.reserve(ids.size());
    for (int id : ids) {
        if (skipSpecialTokens && specialTokenIds_.contains(id))
            continue;
        if (auto token = model_->convertIdToToken(id))
            tokens.push_back(std::move(*token));
    }
    std::string text;
    for (const std::string& part : decodeTokens(tokens))
        text += part;
    return cleanUp(std::move(text));
}

std::optional<int> PreTrainedTokenizer::convertTokenToId(std::string_view token) const {
    return model_->convertTokenToId(token);
}

std::optional<std::string> PreTrainedTokenizer::convertIdToToken(int id) const {
    return model_->convertIdToToken(id);
}

bool PreTrainedTokenizer::hasChatTemplate() const {
    return !tokenizerConfig_["chatTemplate"].isNull();
}

std::vector<std::optional<int>> Tokenizer::convertTokensToIds(
    const std::vector<std::string>& tokens) const {
    return convertEach(tokens, [this](const std::string& t) { return convertTokenToId(t); });
}

std::vector<std::optional<std::string>> Tokenizer::convertIdsToTokens(
    const std::vector<int>& ids) const {
    return convertEach(ids, [this](int id) { return convertIdToToken(id); });
}

}  // namespace tokenizers
