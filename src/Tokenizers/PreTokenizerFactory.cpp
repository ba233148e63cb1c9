#include "ComponentDescription.h"
#include "hub/Config.h"
#include "tokenizers/PreTokenizer.h"
#include "tokenizers/TokenizerError.h"

namespace tokenizers {
namespace {

std::optional<StringSplitPattern> splitPatternFromConfig(const hub::Config& config) {
    const hub::Config pattern = config["pattern"];
    if (auto literal = pattern["String"].string()) {
        return StringSplitPattern{StringSplitPattern::Kind::string, std::move(*literal)};
    }
    if (auto re = pattern["Regex"].string()) {
        return StringSplitPattern{StringSplitPattern::Kind::regexp, std::move(*re)};
    }
    return std::nullopt;
}

std::unique_ptr<PreTokenizer> metaspaceFromConfig(const hub::Config& config) {
    using Scheme = MetaspacePreTokenizer::PrependScheme;
    const std::optional<bool> addPrefixSpace = config["addPrefixSpace"].boolean();
    std::string replacement = config["replacement"].string(" ");
    std::string stringReplacement = config["strRep"].string(replacement);
    Scheme scheme = addPrefixSpace.value_or(true) ? Scheme::always : Scheme::never;
    if (const auto named = config["prependScheme"].string()) {
        scheme = *named == "first"   ? Scheme::first
                 : *named == "never" ? Scheme::never
                                     : Scheme::always;
    }
    return std::make_unique<MetaspacePreTokenizer>(std::move(replacement),
                                                   std::move(stringReplacement), scheme);
}

}  // namespace

std::unique_ptr<PreTokenizer> PreTokenizerFactory::fromConfig(const hub::Config* config) {
    const auto type = description::componentType(config);
    if (!type)
        return nullptr;
    const hub::Config& c = *config;
    if (*type == "Sequence") {
        return std::make_unique<PreTokenizerSequence>(description::sequenceMembers<PreTokenizer>(
            c, "pretokenizers", "No pretokenizers in Sequence", fromConfig));
    }
    if (*type == "ByteLevel") {
        return std::make_unique<ByteLevelPreTokenizer>(c["addPrefixSpace"].boolean(false),
                                                       c["useRegex"].boolean(true));
    }
    if (*type == "Punctuation")
        return std::make_unique<PunctuationPreTokenizer>();
    if (*type == "Digits") {
        return std::make_unique<DigitsPreTokenizer>(c["individualDigits"].boolean(false));
    }
    if (*type == "Split") {
        return std::make_unique<SplitPreTokenizer>(splitPatternFromConfig(c),
                                                   c["invert"].boolean(false));
    }
    if (*type == "Whitespace" || *type == "WhitespaceSplit") {
        return std::make_unique<WhitespacePreTokenizer>();
    }
    if (*type == "Metaspace")
        return metaspaceFromConfig(c);
    if (*type == "BertPreTokenizer")
        return std::make_unique<BertPreTokenizer>();
    throw TokenizerError::invalidDescription("Unsupported PreTokenizer type: " + *type);
}

}  // namespace tokenizers
