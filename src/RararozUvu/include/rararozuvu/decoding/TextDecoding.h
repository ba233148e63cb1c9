#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include "ml/Float16.h"
#include "ml/MultiArray.h"
#include "rararozuvu/audio/StageOutputTypes.h"
#include "rararozuvu/decoding/DecodingCache.h"
#include "rararozuvu/decoding/DecodingInputsType.h"
#include "rararozuvu/decoding/DecodingResult.h"
#include "rararozuvu/decoding/LogitsFiltering.h"
#include "rararozuvu/decoding/TokenSampling.h"
#include "rararozuvu/decoding/TranscriptionProgress.h"
#include "rararozuvu/models/WhisperMLModel.h"
#include "rararozuvu/models/WhisperTokenizer.h"
#include "rararozuvu/results/DecodingOptions.h"

namespace rararozuvu {

// One decoder step's inputs and outputs as they pass through the interface; the shipped decoder
// takes and gives its multi-array records and refuses anything else.
using TextDecoderInputType = std::any;
using TextDecoderOutputType = std::any;

// The decoder stage: turns the encoder embeddings of one window into tokens, one model step at a
// time. Models, tokenizer and filters are set while loading, before any decoding; decoding only
// reads them, so several transcriptions may decode on one decoder at once, each with its own
// inputs.
class TextDecoding {
public:
    virtual ~TextDecoding() = default;

    virtual std::shared_ptr<const WhisperTokenizer> tokenizer() const = 0;
    virtual void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) = 0;
    // The context-prefill stage, when one is loaded.
    virtual std::shared_ptr<WhisperMLModel> prefillData() const = 0;
    virtual void setPrefillData(std::shared_ptr<WhisperMLModel> prefillData) = 0;
    // Whether the prompt carries language and task tokens.
    virtual bool isModelMultilingual() const = 0;
    virtual void setIsModelMultilingual(bool isModelMultilingual) = 0;
    // Whether the model gives the alignment weights that word timings need.
    virtual bool supportsWordTimestamps() const = 0;
    // The vocabulary size; absent while no model is loaded.
    virtual std::optional<std::int64_t> logitsSize() const = 0;
    // Filters run before the built-in ones.
    virtual const std::optional<std::vector<std::shared_ptr<LogitsFiltering>>>& logitsFilters()
        const = 0;
    virtual void setLogitsFilters(
        std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters) = 0;
    // Model dimensions; each absent while no model is loaded.
    virtual std::optional<std::int64_t> kvCacheEmbedDim() const = 0;
    virtual std::optional<std::int64_t> kvCacheMaxSequenceLength() const = 0;
    virtual std::optional<std::int64_t> windowSize() const = 0;
    virtual std::optional<std::int64_t> embedSize() const = 0;

    // One model step. Throws WhisperError (transcriptionFailed) for input of another kind and
    // vevidocore::CancellationError when a stop was requested first.
    virtual std::optional<TextDecoderOutputType> predictLogits(const TextDecoderInputType& input,
                                                               std::stop_token stopToken = {}) = 0;
    // The arrays of one transcription, for the given prompt. Throws WhisperError
    // (prepareDecoderInputsFailed) when a model dimension is unknown.
    virtual std::shared_ptr<DecodingInputsType> prepareDecoderInputs(
        const std::vector<std::int64_t>& prompt) = 0;
    // Writes the forced prompt and, where the options allow, the prefilled cache into the inputs
    // and returns them.
    virtual std::shared_ptr<DecodingInputsType> prefillDecoderInputs(
        std::shared_ptr<DecodingInputsType> decoderInputs,
        const std::optional<DecodingOptions>& options, std::stop_token stopToken = {}) = 0;
    // The cache of the forced prompt from the context-prefill model; nothing without one.
    virtual std::optional<DecodingCache> prefillKVCache(const ml::MultiArray& task,
                                                        const ml::MultiArray& language,
                                                        std::stop_token stopToken = {}) = 0;
    // Decodes one window.
    virtual DecodingResult decodeText(const AudioEncoderOutputType& encoderOutput,
                                      DecodingInputsType& decoderInputs, TokenSampling& sampler,
                                      const DecodingOptions& options,
                                      const TranscriptionCallback& callback = {},
                                      std::stop_token stopToken = {}) = 0;
    // The spoken language of one window, from a single decoder step.
    virtual DecodingResult detectLanguage(const AudioEncoderOutputType& encoderOutput,
                                          DecodingInputsType& decoderInputs, TokenSampling& sampler,
                                          const DecodingOptions& options, ml::Float16 temperature,
                                          std::stop_token stopToken = {}) = 0;
};

}  // namespace rararozuvu
