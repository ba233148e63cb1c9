#include "tokenizers/TokenizingModel.h"

#include "tokenizers/BPETokenizer.h"
#include "tokenizers/TokenizerError.h"

namespace tokenizers {

void TokenizingModel::tokenize(std::string_view text, std::vector<std::string>& tokens) const {
    std::vector<std::string> more = tokenize(text);
    tokens.insert(tokens.end(), std::make_move_iterator(more.begin()),
                  std::make_move_iterator(more.end()));
}

std::vector<std::optional<int>> TokenizingModel::convertTokensToIds(
    const std::vector<std::string>& tokens) const {
    std::vector<std::optional<int>> ids;
    ids.reserve(tokens.size());
    for (const std::string& t : tokens)
        ids.push_back(convertTokenToId(t));
    return ids;
}

std::vector<std::optional<std::string>> TokenizingModel::convertIdsToTokens(
    const std::vector<int>& ids) const {
    std::vector<std::optional<std::string>> tokens;
    tokens.reserve(ids.size());
    for (int id : ids)
        tokens.push_back(convertIdToToken(id));
    return tokens;
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
            throw TokenizerError::unsupportedTokenizer("BertTokenizer");
        case TokenizerModelKind::unigram:
            throw TokenizerError::unsupportedTokenizer("UnigramTokenizer");
        case TokenizerModelKind::t5:
            throw TokenizerError::unsupportedTokenizer("T5Tokenizer");
    }
    throw TokenizerError::unsupportedTokenizer("unknown model kind");
}

}  // namespace tokenizers
