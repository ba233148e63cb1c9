#include "tokenizers/AutoTokenizer.h"

#include <fstream>
#include <sstream>

#include "hub/YYJSONParser.h"
#include "tokenizers/LlamaPreTrainedTokenizer.h"
#include "tokenizers/PreTrainedTokenizer.h"
#include "tokenizers/StringSplitting.h"
#include "tokenizers/TokenizerError.h"

namespace tokenizers {
namespace {

hub::Config readDescriptionFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw TokenizerError::missingConfig();
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return hub::YYJSONParser::parseToConfig(bytes.str());
}

bool namesLlama(const hub::Config& tokenizerConfig) {
    const auto name = tokenizerConfig["tokenizerClass"].string();
    return name && replacingOccurrences(*name, "Fast", "") == "LlamaTokenizer";
}

}  // namespace

std::unique_ptr<Tokenizer> AutoTokenizer::from(const hub::Config& tokenizerConfig,
                                               const hub::Config& tokenizerData, bool strict) {
    if (namesLlama(tokenizerConfig)) {
        return std::make_unique<LlamaPreTrainedTokenizer>(tokenizerConfig, tokenizerData, strict);
    }
    return std::make_unique<PreTrainedTokenizer>(tokenizerConfig, tokenizerData, strict);
}

std::unique_ptr<Tokenizer> AutoTokenizer::from(const std::filesystem::path& modelFolder,
                                               bool strict) {
    const hub::Config tokenizerConfig = readDescriptionFile(modelFolder / "tokenizer_config.json");
    const hub::Config tokenizerData = readDescriptionFile(modelFolder / "tokenizer.json");
    return std::make_unique<PreTrainedTokenizer>(tokenizerConfig, tokenizerData, strict);
}

}  // namespace tokenizers
