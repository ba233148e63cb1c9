#include "ComponentDescription.h"
#include "hub/Config.h"
#include "tokenizers/PostProcessor.h"
#include "tokenizers/TokenizerError.h"

namespace tokenizers {
namespace {

std::vector<TemplateProcessing::Item> templateItems(const hub::Config::Array& items) {
    std::vector<TemplateProcessing::Item> out;
    out.reserve(items.size());
    for (const hub::Config& item : items)
        out.push_back(TemplateProcessing::itemFromConfig(item));
    return out;
}

SpecialTokenPair requiredToken(const hub::Config& config, const char* key) {
    auto token = config[key].token();
    if (!token) {
        throw TokenizerError::invalidDescription(std::string("Missing `") + key +
                                                 "` processor configuration");
    }
    return std::move(*token);
}

}  // namespace

TemplateProcessing::Item TemplateProcessing::itemFromConfig(const hub::Config& item) {
    if (auto text = item["SpecialToken"]["id"].string()) {
        return {Item::Kind::specialToken, std::move(*text)};
    }
    const auto sequence = item["Sequence"]["id"].string();
    if (sequence == "A")
        return {Item::Kind::sequenceA, {}};
    if (sequence == "B")
        return {Item::Kind::sequenceB, {}};
    return {};
}

std::unique_ptr<PostProcessor> PostProcessorFactory::fromConfig(const hub::Config* config) {
    const auto type = description::componentType(config);
    if (!type)
        return nullptr;
    const hub::Config& c = *config;
    if (*type == "TemplateProcessing") {
        const hub::Config single = c["single"];
        if (single.array() == nullptr) {
            throw TokenizerError::invalidDescription("Missing `single` processor configuration");
        }
        const hub::Config pair = c["pair"];
        if (pair.array() == nullptr) {
            throw TokenizerError::invalidDescription("Missing `pair` processor configuration");
        }
        return std::make_unique<TemplateProcessing>(templateItems(*single.array()),
                                                    templateItems(*pair.array()));
    }
    if (*type == "ByteLevel")
        return std::make_unique<ByteLevelPostProcessor>();
    if (*type == "RobertaProcessing") {
        SpecialTokenPair sep = requiredToken(c, "sep");
        SpecialTokenPair cls = requiredToken(c, "cls");
        return std::make_unique<RobertaProcessing>(std::move(sep), std::move(cls),
                                                   c["trimOffset"].boolean(true),
                                                   c["addPrefixSpace"].boolean(true));
    }
    if (*type == "BertProcessing") {
        SpecialTokenPair sep = requiredToken(c, "sep");
        SpecialTokenPair cls = requiredToken(c, "cls");
        return std::make_unique<BertProcessing>(std::move(sep), std::move(cls));
    }
    if (*type == "Sequence") {
        return std::make_unique<SequenceProcessing>(description::sequenceMembers<PostProcessor>(
            c, "processors", "Missing `processors` configuration", fromConfig));
    }
    throw TokenizerError::invalidDescription("Unsupported PostProcessor type: " + *type);
}

}  // namespace tokenizers
