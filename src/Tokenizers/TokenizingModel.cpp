#include "tokenizers/TokenizingModel.h"

#include "tokenizers/BPETokenizer.h"
#include "tokenizers/BertTokenizer.h"
#include "tokenizers/TokenizerError.h"
#include "tokenizers/UnigramTokenizer.h"

namespace tokenizers {

void TokenizingModel::tokenize(std::string_view text, std::vector<std::string>& tokens) const {
    std::vector<std::string> more = tokenize(text);
    tokens.insert(tokens.end(), std::make_move_iterator(more.begin()),
                  std::make_move_iterator(more.end()));
}

std::vector<std::optional<int>> TokenizingModel::convertTokensToIds(
    const std::vector<std::string>& tokens) const {
    return convertEach(tokens, [this](const std::string& t) { return convertTokenToId(t); });
}

std::vector<std::optional<std::string>> TokenizingModel::convertIdsToTokens(
    const std::vector<int>& ids) const {
    return convertEach(ids, [this](int id) { return convertIdToToken(id); });
}

const std::map<std::string, TokenizerModelKind, std::less<>>& TokenizerModel::knownTokenizers() {
    using K = TokenizerModelKind;
    static const std::map<std::string, TokenizerModelKind, std::less<>> table{
        {"BertTokenizer", K::bert},          {"CodeGenTokenizer", K::bpe},
        {"CodeLlamaTokenizer", K::bpe},      {"CohereTokenizer", K::bpe},
        {"DistilbertTokenizer", K::bert},    {"DistilBertTokenizer", K::bert},
        {"FalconTokenizer", K::bpe},         {"GemmaTokenizer", K::bpe},
        {"GPT2Tokenizer", K::bpe},           {"LlamaTokenizer", K::bpe},
        {"RobertaTokenizer", K::bpe},        {"T5Tokenizer", K::t5},
        {"TokenizersBackend", K::bpe},       {"PreTrainedTokenizer", K::bpe},
        {"Qwen2Tokenizer", K::bpe},          {"WhisperTokenizer", K::bpe},
        {"XLMRobertaTokenizer", K::unigram}, {"Xlm-RobertaTokenizer", K::unigram},
    };
    return table;
}

std::unique_ptr<TokenizingModel> TokenizerModel::make(TokenizerModelKind kind,
                                                      const hub::Config& tokenizerConfig,
                                                      const hub::Config& tokenizerData,
                                                      const TextToId& addedTokens) {
    switch (kind) {
        case TokenizerModelKind::bpe:
            return BPETokenizer::fromConfig(tokenizerConfig, tokenizerData, addedTokens);
        case TokenizerModelKind::bert:
            return BertTokenizer::fromConfig(tokenizerConfig, tokenizerData, addedTokens);
        case TokenizerModelKind::unigram:
            return std::make_unique<UnigramTokenizer>(tokenizerConfig, tokenizerData);
        case TokenizerModelKind::t5:
            return std::make_unique<T5Tokenizer>(tokenizerConfig, tokenizerData);
    }
    throw TokenizerError::unsupportedTokenizer("unknown model kind");
}

}  // namespace tokenizers
