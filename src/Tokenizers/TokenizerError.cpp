#include "tokenizers/TokenizerError.h"

namespace tokenizers {
namespace {

std::string describe(TokenizerError::Case c, const std::string& detail) {
    using Case = TokenizerError::Case;
    switch (c) {
        case Case::unsupportedTokenizer:
            return "The tokenizer type '" + detail + "' is not supported.";
        case Case::chatTemplate:
            return "Chat template error: " + detail;
        case Case::tooLong:
            return "Input is too long: " + detail;
        case Case::mismatchedConfig:
            return "Tokenizer configuration mismatch: " + detail;
        case Case::missingConfig:
            return "Tokenizer configuration is missing.";
        case Case::missingTokenizerClassInConfig:
            return "The tokenizer class is not specified in the configuration.";
        case Case::missingVocab:
            return "Vocabulary file is missing from the tokenizer configuration.";
        case Case::malformedVocab:
            return "The vocabulary file is malformed or corrupted.";
        case Case::missingChatTemplate:
            return "This tokenizer does not have a chat template, and no template was passed.";
        case Case::invalidDescription:
            return detail;
    }
    return detail;
}

}  // namespace

TokenizerError::TokenizerError(Case c, std::string detail)
    : case_(c), detail_(std::move(detail)), description_(describe(case_, detail_)) {}

}  // namespace tokenizers
