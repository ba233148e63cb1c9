#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>
#include <vector>

#include "ml/MultiArray.h"
#include "rararozuvu/decoding/DecodingInputs.h"
#include "rararozuvu/decoding/LanguageLogitsFilter.h"
#include "rararozuvu/decoding/TextDecoderMLMultiArrayInputType.h"
#include "rararozuvu/decoding/TextDecoderMLMultiArrayOutputType.h"
#include "rararozuvu/decoding/TextDecoding.h"
#include "rararozuvu/models/WhisperMLModel.h"
#include "vevidocore/EarlyStopActor.h"

namespace rararozuvu {

// The text decoder stage over the "TextDecoder" model (and, when loaded, the context-prefill
// model): prepares a transcription's decoder inputs, decodes windows token by token, and detects
// the spoken language.
//
// The models, tokenizer and filters are set while loading, before any decoding; decoding only
// reads them, so several transcriptions may decode on one decoder at once, each with its own
// DecodingInputs. Not copyable: callers share it by pointer.
class TextDecoder : public TextDecoding, public WhisperMLModel {
public:
    TextDecoder();
    TextDecoder(const TextDecoder&) = delete;
    TextDecoder& operator=(const TextDecoder&) = delete;

    std::shared_ptr<const WhisperTokenizer> tokenizer() const override { return tokenizer_; }
    void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) override {
        tokenizer_ = std::move(tokenizer);
    }
    std::shared_ptr<WhisperMLModel> prefillData() const override { return prefillData_; }
    void setPrefillData(std::shared_ptr<WhisperMLModel> prefillData) override {
        prefillData_ = std::move(prefillData);
    }
    bool isModelMultilingual() const override { return isModelMultilingual_; }
    void setIsModelMultilingual(bool isModelMultilingual) override {
        isModelMultilingual_ = isModelMultilingual;
    }
    // True when the model has the "alignment_heads_weights" output.
    bool supportsWordTimestamps() const override;
    // Dimension 2 of the output "logits".
    std::optional<std::int64_t> logitsSize() const override;
    const std::optional<std::vector<std::shared_ptr<LogitsFiltering>>>& logitsFilters()
        const override {
        return logitsFilters_;
    }
    void setLogitsFilters(
        std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters) override {
        logitsFilters_ = std::move(logitsFilters);
    }
    // Dimensions 1 and 3 of the input "key_cache".
    std::optional<std::int64_t> kvCacheEmbedDim() const override;
    std::optional<std::int64_t> kvCacheMaxSequenceLength() const override;
    // Dimensions 3 and 1 of the input "encoder_output_embeds".
    std::optional<std::int64_t> windowSize() const override;
    std::optional<std::int64_t> embedSize() const override;

    // Takes a TextDecoderMLMultiArrayInputType and gives a TextDecoderMLMultiArrayOutputType,
    // without logits or cache when no model is loaded. Throws WhisperError (transcriptionFailed)
    // for input of another kind, vevidocore::CancellationError when a stop was requested, and
    // the runtime's error when the prediction fails.
    std::optional<TextDecoderOutputType> predictLogits(const TextDecoderInputType& input,
                                                       std::stop_token stopToken = {}) override;
    // The same over the seven arrays: the logits and the step's cache, or nothing without a
    // model.
    std::optional<std::pair<ml::MultiArray, DecodingCache>> predictLogits(
        const ml::MultiArray& inputIds, const ml::MultiArray& cacheLength,
        const ml::MultiArray& keyCache, const ml::MultiArray& valueCache,
        const ml::MultiArray& kvCacheUpdateMask, const ml::MultiArray& encoderOutputEmbeds,
        const ml::MultiArray& decoderKeyPaddingMask, std::stop_token stopToken = {});

    std::shared_ptr<DecodingInputsType> prepareDecoderInputs(
        const std::vector<std::int64_t>& prompt) override;
    // The forced prompt [start of transcript, language and task (multilingual models), first
    // timestamp or no-timestamps] with the options' previous text before it and prefix after it;
    // the context-prefill model's cache when it may be used. Throws WhisperError
    // (tokenizerUnavailable, prepareDecoderInputsFailed).
    std::shared_ptr<DecodingInputsType> prefillDecoderInputs(
        std::shared_ptr<DecodingInputsType> decoderInputs,
        const std::optional<DecodingOptions>& options, std::stop_token stopToken = {}) override;
    std::optional<DecodingCache> prefillKVCache(const ml::MultiArray& task,
                                                const ml::MultiArray& language,
                                                std::stop_token stopToken = {}) override;

    // Decodes one window: forces the prompt, then predicts, filters and samples until the end of
    // text, the sample length (at most 223 steps and 223 tokens), a too unlikely first token or
    // a progress answer of false. The callback is called on this thread after every step that
    // continues the window. Throws WhisperError (tokenizerUnavailable,
    // prepareDecoderInputsFailed, decodingLogitsFailed), the sampler's and the runtime's errors
    // and vevidocore::CancellationError; what earlier steps wrote stays in the inputs.
    DecodingResult decodeText(const AudioEncoderOutputType& encoderOutput,
                              DecodingInputsType& decoderInputs, TokenSampling& sampler,
                              const DecodingOptions& options,
                              const TranscriptionCallback& callback = {},
                              std::stop_token stopToken = {}) override;
    // The decode of the window as a one-element list.
    std::vector<DecodingResult> decodeText(const ml::MultiArray& encoderOutput,
                                           DecodingInputs& decoderInputs, TokenSampling& sampler,
                                           const DecodingOptions& options,
                                           const TranscriptionCallback& callback = {},
                                           std::stop_token stopToken = {});

    // One step from the start-of-transcript token with only language tokens allowed: the
    // result's language and languageProbs. The options and temperature are not read.
    DecodingResult detectLanguage(const AudioEncoderOutputType& encoderOutput,
                                  DecodingInputsType& decoderInputs, TokenSampling& sampler,
                                  const DecodingOptions& options, ml::Float16 temperature,
                                  std::stop_token stopToken = {}) override;
    std::vector<DecodingResult> detectLanguage(
        const ml::MultiArray& encoderOutput, DecodingInputs& decoderInputs, TokenSampling& sampler,
        const DecodingOptions& options, ml::Float16 temperature, std::stop_token stopToken = {});

    // The filters of one window, in order: the decoder's own, blank suppression (from the first
    // sampled position, initialPromptIndex), the options' suppressed text tokens, and the
    // timestamp rules unless the window is decoded without timestamps.
    std::vector<std::shared_ptr<LogitsFiltering>> createLogitsFilters(
        const DecodingOptions& options, std::int64_t prefilledIndex,
        std::int64_t initialPromptIndex, const WhisperTokenizer& tokenizer) const;
    // Debug lines with the first cache positions of the inputs.
    void debugCaches(const DecodingInputs& decoderInputs, std::int64_t tokenIndex,
                     std::int64_t prefillSize) const;

    // Copies the slices' positions (keys and values [1, E, 1, L]) into the caches [1, E, 1, S]
    // from position insertAtIndex on. Both slices are read with the key slice's layout. Positions
    // that would land past the caches are not written.
    static void updateKVCache(ml::MultiArray& keyTensor, const ml::MultiArray& keySlice,
                              ml::MultiArray& valueTensor, const ml::MultiArray& valueSlice,
                              std::int64_t insertAtIndex);
    // Copies one step's alignment weights [1, W] into row insertAtIndex + 1 of [S, W]: the row of
    // the token the step predicted. A row past the array is not written.
    static void updateAlignmentWeights(ml::MultiArray& alignmentTensor,
                                       const ml::MultiArray& alignmentSlice,
                                       std::int64_t insertAtIndex);

    // Drops both models and the cached language filter; the tokenizer stays.
    void unloadModel() override;

    vevidocore::EarlyStopActor& earlyStopActor() { return *earlyStopActor_; }
    // Built on the first language detection, kept until the model is unloaded.
    std::shared_ptr<LanguageLogitsFilter> languageLogitsFilter() const;

private:
    std::shared_ptr<const WhisperTokenizer> tokenizer_;
    std::shared_ptr<WhisperMLModel> prefillData_;
    bool isModelMultilingual_ = false;
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters_;
    std::unique_ptr<vevidocore::EarlyStopActor> earlyStopActor_;
    mutable std::mutex languageFilterMutex_;
    std::shared_ptr<LanguageLogitsFilter> languageLogitsFilter_;
};

}  // namespace rararozuvu
