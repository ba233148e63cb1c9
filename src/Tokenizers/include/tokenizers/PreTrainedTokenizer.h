#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "hub/Config.h"
#include "templates/Template.h"
#include "tokenizers/Decoder.h"
#include "tokenizers/Normalizer.h"
#include "tokenizers/PostProcessor.h"
#include "tokenizers/PreTokenizer.h"
#include "tokenizers/Regex.h"
#include "tokenizers/Tokenizer.h"
#include "tokenizers/TokenizingModel.h"

namespace tokenizers {

struct BPEParts;

// The tokenizer built from a tokenizer description: the tokenizer configuration
// ("tokenizer_config.json") and the tokenizer data ("tokenizer.json").
//
// Encoding cuts the text at its added tokens (longest first), then runs the normalizer, the
// pre-tokenizer and the model on each ordinary section, fuses unknown tokens when the model asks
// for it, applies the post-processor and maps tokens to ids. Decoding maps ids to tokens, drops
// special tokens on request, runs the decoder, joins and tidies the spaces.
class PreTrainedTokenizer : public Tokenizer {
public:
    // Throws TokenizerError: missingTokenizerClassInConfig, unsupportedTokenizer (an unknown
    // class when `strict`; without it a warning line goes to standard output and the BPE model is
    // used), the model's errors, and invalidDescription for a component it cannot build.
    PreTrainedTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData,
                        bool strict);

    // The same tokenizer from the text of the tokenizer data, for a BPE model (what a load spends
    // its time on): its vocabulary and merges are read straight from the text, not through a
    // Config. Nothing when that way does not apply (another model, text that is not valid JSON or
    // holds the tables in another shape): the caller then parses the data the ordinary way and
    // uses the constructor above, which also reports what is wrong with it. Throws what the
    // constructor throws.
    static std::unique_ptr<PreTrainedTokenizer> fromDataText(const hub::Config& tokenizerConfig,
                                                             std::string_view tokenizerData,
                                                             bool strict);
    ~PreTrainedTokenizer() override;

    using Tokenizer::decode;
    using Tokenizer::encode;

    std::vector<std::string> tokenize(std::string_view text) const override;
    // A token the model has no id for (possible only with an inconsistent description, such as a
    // post-processor naming a token the vocabulary lacks) throws TokenizerError
    // (mismatchedConfig).
    std::vector<int> encode(std::string_view text, bool addSpecialTokens) const override;
    std::string decode(const std::vector<int>& tokens, bool skipSpecialTokens) const override;

    std::optional<int> convertTokenToId(std::string_view token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;
    std::optional<std::string> bosToken() const override { return model_->bosToken(); }
    std::optional<int> bosTokenId() const override { return model_->bosTokenId(); }
    std::optional<std::string> eosToken() const override { return model_->eosToken(); }
    std::optional<int> eosTokenId() const override { return model_->eosTokenId(); }
    std::optional<std::string> unknownToken() const override { return model_->unknownToken(); }
    std::optional<int> unknownTokenId() const override { return model_->unknownTokenId(); }
    bool fuseUnknownTokens() const { return model_->fuseUnknownTokens(); }
    // Whether the configuration has a "chat_template" that is not null.
    bool hasChatTemplate() const override;

    using Tokenizer::applyChatTemplate;
    // Renders the chosen template (renderChatTemplate) and encodes the prompt without adding
    // special tokens; with truncation, keeps at most min(maxLength, "model_max_length") ids.
    std::vector<int> applyChatTemplate(const std::vector<ChatMessage>& messages,
                                       const ChatTemplateOptions& options) const override;
    // The prompt text itself. Throws TokenizerError (missingChatTemplate, chatTemplate for an
    // unknown template name), the template engine's TemplateError, and TemplateException when the
    // template refuses the conversation.
    std::string renderChatTemplate(const std::vector<ChatMessage>& messages,
                                   const ChatTemplateOptions& options) const;
    // The compiled template of a source, compiled once per tokenizer (also across threads).
    std::shared_ptr<const templates::Template> compiledTemplate(const std::string& source) const;

    // The pipeline steps, each on its own.
    virtual std::vector<std::string> preTokenize(std::string_view text,
                                                 PreTokenizerOptions options) const;
    virtual std::string normalize(std::string_view text) const;
    virtual std::vector<std::string> postProcess(std::vector<std::string> tokens,
                                                 bool addSpecialTokens) const;
    virtual std::vector<std::string> decodeTokens(const std::vector<std::string>& tokens) const;
    // The space clean-up of decoded text (" ." -> "." and the like), when the configuration's
    // "clean_up_tokenization_spaces" is not false.
    virtual std::string cleanUp(std::string text) const;
    // Drops every unknown token that directly follows another one, when the model fuses them.
    virtual std::vector<std::string> fuseUnknown(std::vector<std::string> tokens) const;

    const hub::Config& tokenizerConfig() const { return tokenizerConfig_; }
    const std::unordered_set<std::string>& addedTokens() const { return addedTokens_; }
    // Added tokens marked special: content -> id.
    const TextToId& specialTokens() const { return specialTokens_; }
    const TokenizingModel& model() const { return *model_; }

private:
    // `bpeParts`: the model's vocabulary and merges, read apart from `tokenizerData`.
    PreTrainedTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData,
                        bool strict, BPEParts* bpeParts);

    std::unique_ptr<TokenizingModel> model_;
    std::unordered_set<std::string> addedTokens_;
    TextToId specialTokens_;
    std::unordered_set<int> specialTokenIds_;
    // The pattern that splits added tokens out of a text, compiled on first use: it is an
    // alternation of every added token (thousands in some vocabularies), and decoding, all that a
    // transcription does, never needs it.
    struct AddedTokensSplit;
    const std::optional<Regex>& addedTokensRegex() const;
    std::unique_ptr<AddedTokensSplit> addedTokensSplit_;
    std::unique_ptr<PreTokenizer> preTokenizer_;
    std::unique_ptr<Normalizer> normalizer_;
    std::unique_ptr<PostProcessor> postProcessor_;
    std::unique_ptr<Decoder> decoder_;
    hub::Config tokenizerConfig_;
    bool cleanUpTokenizationSpaces_ = true;

    struct TemplateCache {
        std::mutex lock;
        std::unordered_map<std::string, std::shared_ptr<const templates::Template>> templates;
    };
    std::unique_ptr<TemplateCache> templateCache_ = std::make_unique<TemplateCache>();
};

}  // namespace tokenizers
