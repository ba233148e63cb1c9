#pragma once

#include <optional>

#include "hub/Config.h"
#include "tokenizers/PreTrainedTokenizer.h"

namespace tokenizers {

// The tokenizer of Llama descriptions. Unless the configuration says "legacy" (the default), the
// description's normalizer is dropped for a Metaspace pre-tokenizer and the text reaches the
// pipeline with one "▁" in front and its own "▁" turned into blanks. A post-processor that is not
// a template is replaced by one built from "add_bos_token"/"bos_token" and
// "add_eos_token"/"eos_token".
class LlamaPreTrainedTokenizer : public PreTrainedTokenizer {
public:
    LlamaPreTrainedTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData,
                             bool strict);

    std::vector<std::string> tokenize(std::string_view text) const override;
    bool isLegacy() const { return isLegacy_; }

private:
    bool isLegacy_;
};

// The template post-processor description that puts the configured bos and eos tokens around the
// sequences; nothing when `processorConfig` already describes a "TemplateProcessing".
// Throws TokenizerError (mismatchedConfig) when a token is asked for but not named.
std::optional<hub::Config> maybeUpdatePostProcessor(const hub::Config& tokenizerConfig,
                                                    const hub::Config* processorConfig);

}  // namespace tokenizers
