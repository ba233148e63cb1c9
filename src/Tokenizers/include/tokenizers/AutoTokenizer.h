#pragma once

#include <filesystem>
#include <memory>

#include "hub/Config.h"
#include "tokenizers/Tokenizer.h"

namespace tokenizers {

// Builds a tokenizer from a tokenizer description.
//
// Loading a description from a hub repository (by repository id, through the hub client) comes
// with the hub client; until then descriptions come from configuration values or a local folder.
struct AutoTokenizer {
    // Picks the class by "tokenizer_class" (without "Fast"): "LlamaTokenizer" gives a
    // LlamaPreTrainedTokenizer, everything else a PreTrainedTokenizer. Throws TokenizerError.
    static std::unique_ptr<Tokenizer> from(const hub::Config& tokenizerConfig,
                                           const hub::Config& tokenizerData, bool strict = false);

    // Reads "tokenizer_config.json" and "tokenizer.json" from a model folder and always builds a
    // plain PreTrainedTokenizer. A missing file throws TokenizerError (missingConfig); a file
    // that is not JSON throws hub::YYJSONParser::ParseError.
    static std::unique_ptr<Tokenizer> from(const std::filesystem::path& modelFolder,
                                           bool strict = false);
};

}  // namespace tokenizers
