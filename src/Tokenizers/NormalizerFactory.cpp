#include "ComponentDescription.h"
#include "hub/Config.h"
#include "tokenizers/Normalizer.h"
#include "tokenizers/TokenizerError.h"

namespace tokenizers {

std::unique_ptr<Normalizer> NormalizerFactory::fromConfig(const hub::Config* config) {
    const auto type = description::componentType(config);
    if (!type)
        return nullptr;
    const hub::Config& c = *config;
    if (*type == "Sequence") {
        return std::make_unique<NormalizerSequence>(description::sequenceMembers<Normalizer>(
            c, "normalizers", "No normalizers in Sequence", fromConfig));
    }
    if (*type == "Prepend")
        return std::make_unique<PrependNormalizer>(c["prepend"].string(""));
    if (*type == "Replace")
        return std::make_unique<ReplaceNormalizer>(StringReplacePattern::fromConfig(c));
    if (*type == "Lowercase")
        return std::make_unique<LowercaseNormalizer>();
    if (*type == "NFD")
        return std::make_unique<NFDNormalizer>();
    if (*type == "NFC")
        return std::make_unique<NFCNormalizer>();
    if (*type == "NFKD")
        return std::make_unique<NFKDNormalizer>();
    if (*type == "NFKC")
        return std::make_unique<NFKCNormalizer>();
    if (*type == "Bert" || *type == "BertNormalizer") {
        // Read in this order: the default of "stripAccents" is what "lowercase" gave.
        const bool cleanText = c["cleanText"].boolean(true);
        const bool handleChineseChars = c["handleChineseChars"].boolean(true);
        const bool lowercase = c["lowercase"].boolean(true);
        const bool stripAccents = c["stripAccents"].boolean(lowercase);
        return std::make_unique<BertNormalizer>(cleanText, handleChineseChars, stripAccents,
                                                lowercase);
    }
    if (*type == "Precompiled")
        return std::make_unique<PrecompiledNormalizer>();
    if (*type == "StripAccents")
        return std::make_unique<StripAccentsNormalizer>();
    if (*type == "Strip") {
        return std::make_unique<StripNormalizer>(c["stripLeft"].boolean(true),
                                                 c["stripRight"].boolean(true));
    }
    throw TokenizerError::invalidDescription("Unsupported Normalizer type: " + *type);
}

}  // namespace tokenizers
