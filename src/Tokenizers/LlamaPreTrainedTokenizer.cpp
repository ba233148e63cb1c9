#include "tokenizers/LlamaPreTrainedTokenizer.h"

#include "tokenizers/StringSplitting.h"
#include "tokenizers/TokenizerError.h"

namespace tokenizers {
namespace {

constexpr std::string_view metaspace = "\u2581";

bool legacy(const hub::Config& tokenizerConfig) {
    return tokenizerConfig["legacy"].boolean(true);
}

hub::Config rewrittenData(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData) {
    hub::Config::Dictionary data =
        tokenizerData.dictionary() ? *tokenizerData.dictionary() : hub::Config::Dictionary{};
    // A key is found under its camelCase spelling first, so a replacement must remove both.
    const auto replace = [&](const char* snake, const char* camel, std::optional<hub::Config> v) {
        data.erase(hub::BinaryDistinctString(snake));
        data.erase(hub::BinaryDistinctString(camel));
        if (v)
            data.insert_or_assign(hub::BinaryDistinctString(snake), std::move(*v));
    };
    if (!legacy(tokenizerConfig)) {
        data.erase(hub::BinaryDistinctString("normalizer"));
        replace("pre_tokenizer", "preTokenizer",
                hub::Config{{"type", "Metaspace"},
                            {"replacement", std::string(metaspace)},
                            {"add_prefix_space", true},
                            {"prepend_scheme", "first"}});
    }
    const hub::Config processor = tokenizerData["postProcessor"];
    if (auto updated = maybeUpdatePostProcessor(tokenizerConfig, &processor)) {
        replace("post_processor", "postProcessor", std::move(updated));
    }
    return hub::Config(std::move(data));
}

}  // namespace

LlamaPreTrainedTokenizer::LlamaPreTrainedTokenizer(const hub::Config& tokenizerConfig,
                                                   const hub::Config& tokenizerData, bool strict)
    : PreTrainedTokenizer(tokenizerConfig, rewrittenData(tokenizerConfig, tokenizerData), strict),
      isLegacy_(legacy(tokenizerConfig)) {}

std::vector<std::string> LlamaPreTrainedTokenizer::tokenize(std::string_view text) const {
    if (isLegacy_ || text.empty())
        return PreTrainedTokenizer::tokenize(text);
    std::vector<std::string> tokens = PreTrainedTokenizer::tokenize(
        std::string(metaspace) + replacingOccurrences(text, metaspace, " "));
    if (tokens.size() >= 2 && tokens[0] == metaspace && specialTokens().contains(tokens[1])) {
        tokens.erase(tokens.begin());
    }
    return tokens;
}

std::optional<hub::Config> maybeUpdatePostProcessor(const hub::Config& tokenizerConfig,
                                                    const hub::Config* processorConfig) {
    const auto existing = PostProcessorFactory::fromConfig(processorConfig);
    if (dynamic_cast<const TemplateProcessing*>(existing.get()) != nullptr)
        return std::nullopt;

    const auto tokenText = [&](const char* key) -> std::optional<std::string> {
        const hub::Config value = tokenizerConfig[key];
        if (auto text = value.string())
            return text;
        return value["content"].string();
    };
    const bool addBos = tokenizerConfig["addBosToken"].boolean(false);
    const auto bos = tokenText("bosToken");
    if (addBos && !bos) {
        throw TokenizerError::mismatchedConfig("add_bos_token is True but bos_token is nil");
    }
    const bool addEos = tokenizerConfig["addEosToken"].boolean(false);
    const auto eos = tokenText("eosToken");
    if (addEos && !eos) {
        throw TokenizerError::mismatchedConfig("add_eos_token is True but eos_token is nil");
    }
    const auto special = [](const std::string& id, int typeId) {
        return hub::Config{{"SpecialToken", hub::Config{{"id", id}, {"type_id", typeId}}}};
    };
    const auto sequence = [](const char* id, int typeId) {
        return hub::Config{{"Sequence", hub::Config{{"id", id}, {"type_id", typeId}}}};
    };
    hub::Config::Array single;
    if (addBos)
        single.push_back(special(*bos, 0));
    single.push_back(sequence("A", 0));
    if (addEos)
        single.push_back(special(*eos, 0));
    hub::Config::Array pair = single;
    if (addBos)
        pair.push_back(special(*bos, 1));
    pair.push_back(sequence("B", 1));
    if (addEos)
        pair.push_back(special(*eos, 1));
    return hub::Config{
        {"type", "TemplateProcessing"}, {"single", std::move(single)}, {"pair", std::move(pair)}};
}

}  // namespace tokenizers
