#include "rararozuvu/decoding/TextDecoder.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <set>
#include <tuple>

#include "LogitsMath.h"
#include "ml/Model.h"
#include "rararozuvu/decoding/DecodingFallback.h"
#include "rararozuvu/decoding/GreedyTokenSampler.h"
#include "rararozuvu/decoding/SuppressBlankFilter.h"
#include "rararozuvu/decoding/SuppressTokensFilter.h"
#include "rararozuvu/decoding/TextUtilities.h"
#include "rararozuvu/decoding/TimestampRulesFilter.h"
#include "rararozuvu/models/Constants.h"
#include "rararozuvu/models/TextDecoderCachePrefillFeatures.h"
#include "rararozuvu/models/TextDecoderFeatures.h"
#include "rararozuvu/results/WhisperError.h"
#include "vevidocore/CancellationError.h"
#include "vevidocore/Logging.h"
#include "vevidocore/ModelUtilities.h"
#include "vevidocore/Rounding.h"
#include "vevidocore/Stopwatch.h"
#include "vevidocore/UUID.h"

namespace rararozuvu {

namespace {

using vevidocore::Logging;
using vevidocore::Stopwatch;

// Prompt text kept from the previous window, and prefix tokens, at most.
constexpr std::size_t kMaxPromptTokens = 111;
constexpr std::size_t kMaxPrefixTokens = 112;
constexpr float kShutOut = -10000.0f;

bool debugEnabled() {
    return Logging::shared().logLevel() == Logging::LogLevel::debug;
}

// A special token's text without its "<|" and "|>" marks.
std::string withoutMarks(std::string text) {
    const auto marked = [](char c) {
        return Constants::specialTokenCharacters.find(c) != std::string_view::npos;
    };
    const auto first = std::find_if_not(text.begin(), text.end(), marked);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), marked).base();
    return first < last ? std::string(first, last) : std::string();
}

std::vector<std::int64_t> lastTextTokens(const std::vector<std::int64_t>& tokens, std::size_t limit,
                                         std::int64_t specialTokenBegin) {
    const std::size_t from = tokens.size() > limit ? tokens.size() - limit : 0;
    std::vector<std::int64_t> kept;
    for (std::size_t i = from; i < tokens.size(); ++i) {
        if (tokens[i] < specialTokenBegin)
            kept.push_back(tokens[i]);
    }
    return kept;
}

DecodingInputs& concreteInputs(DecodingInputsType& inputs, const char* message) {
    auto* concrete = dynamic_cast<DecodingInputs*>(&inputs);
    if (concrete == nullptr)
        throw WhisperError::prepareDecoderInputsFailed(message);
    return *concrete;
}

// One step through the decoder's (overridable) prediction; absent when it gives no logits.
std::optional<TextDecoderMLMultiArrayOutputType> predictStep(TextDecoding& decoder,
                                                             TextDecoderMLMultiArrayInputType input,
                                                             std::stop_token stopToken) {
    const std::optional<TextDecoderOutputType> predicted =
        decoder.predictLogits(TextDecoderInputType(std::move(input)), stopToken);
    const auto* output =
        predicted ? std::any_cast<TextDecoderMLMultiArrayOutputType>(&*predicted) : nullptr;
    if (output == nullptr || !output->logits)
        return std::nullopt;
    return *output;
}

std::optional<TextDecoderMLMultiArrayOutputType> predictStep(TextDecoding& decoder,
                                                             DecodingInputs& in,
                                                             const ml::MultiArray& embeds,
                                                             std::stop_token stopToken) {
    return predictStep(decoder,
                       TextDecoderMLMultiArrayInputType{
                           in.inputIds(), in.cacheLength(), in.keyCache(), in.valueCache(),
                           in.kvCacheUpdateMask(), embeds, in.decoderKeyPaddingMask()},
                       stopToken);
}

// The step at `position` of inputs whose cache was prefilled past it, predicted once more: it
// sees the cache rows before it and its own, and nothing is written back into the inputs.
std::optional<TextDecoderMLMultiArrayOutputType> predictAgainAt(
    TextDecoding& decoder, DecodingInputs& in, const ml::MultiArray& embeds, std::int64_t position,
    std::int64_t token, std::stop_token stopToken) {
    const std::vector<std::int64_t>& maskShape = in.kvCacheUpdateMask().shape();
    ml::MultiArray updateMask(maskShape, ml::MultiArrayDataType::int32);
    ml::MultiArray paddingMask(in.decoderKeyPaddingMask().shape(), ml::MultiArrayDataType::float16,
                               ml::Float16(kShutOut));
    if (position < 0 || position >= updateMask.count() || position >= paddingMask.count())
        return std::nullopt;
    updateMask.setValue(position, 1);
    for (std::int64_t i = 0; i <= position; ++i)
        paddingMask.setValue(i, 0);
    return predictStep(
        decoder,
        TextDecoderMLMultiArrayInputType{
            ml::MultiArray::from({token}, 1), ml::MultiArray::from({position}, 1), in.keyCache(),
            in.valueCache(), std::move(updateMask), embeds, std::move(paddingMask)},
        stopToken);
}

// The probability the softmax of one step's logits gives `token`; 0 for a token outside them.
float probabilityOf(const ml::MultiArray& logits, std::int64_t token) {
    if (token < 0 || token >= logits.count())
        return 0;
    std::vector<float> scores;
    if (const std::span<const ml::Float16> half = detail::halfScores(logits); !half.empty()) {
        detail::widen(half, scores);
    } else {
        scores.resize(static_cast<std::size_t>(logits.count()));
        for (std::int64_t i = 0; i < logits.count(); ++i)
            scores[static_cast<std::size_t>(i)] = static_cast<float>(logits.value(i));
    }
    const float largest = detail::maxValue(scores);
    if (!std::isfinite(largest))
        return 0;
    const double total = detail::sumExp(scores, largest);
    const float score = scores[static_cast<std::size_t>(token)];
    return total > 0 ? static_cast<float>(std::exp(static_cast<double>(score - largest)) / total)
                     : 0.0f;
}

}  // namespace

TextDecoder::TextDecoder()
    : logitsFilters_(std::vector<std::shared_ptr<LogitsFiltering>>{}),
      earlyStopActor_(std::make_unique<vevidocore::EarlyStopActor>()) {}

bool TextDecoder::supportsWordTimestamps() const {
    return vevidocore::ModelUtilities::getModelOutputDimension(model().get(),
                                                               "alignment_heads_weights", 0)
        .has_value();
}

std::optional<std::int64_t> TextDecoder::logitsSize() const {
    return vevidocore::ModelUtilities::getModelOutputDimension(model().get(), "logits", 2);
}

std::optional<std::int64_t> TextDecoder::kvCacheEmbedDim() const {
    return vevidocore::ModelUtilities::getModelInputDimension(model().get(), "key_cache", 1);
}

std::optional<std::int64_t> TextDecoder::kvCacheMaxSequenceLength() const {
    return vevidocore::ModelUtilities::getModelInputDimension(model().get(), "key_cache", 3);
}

std::optional<std::int64_t> TextDecoder::windowSize() const {
    return vevidocore::ModelUtilities::getModelInputDimension(model().get(),
                                                              "encoder_output_embeds", 3);
}

std::optional<std::int64_t> TextDecoder::embedSize() const {
    return vevidocore::ModelUtilities::getModelInputDimension(model().get(),
                                                              "encoder_output_embeds", 1);
}

std::optional<TextDecoderOutputType> TextDecoder::predictLogits(const TextDecoderInputType& input,
                                                                std::stop_token stopToken) {
    const auto* in = std::any_cast<TextDecoderMLMultiArrayInputType>(&input);
    if (in == nullptr) {
        throw WhisperError::transcriptionFailed("Input must be TextDecoderMLMultiArrayInputType");
    }
    auto out = predictLogits(in->inputIds, in->cacheLength, in->keyCache, in->valueCache,
                             in->kvCacheUpdateMask, in->encoderOutputEmbeds,
                             in->decoderKeyPaddingMask, stopToken);
    if (!out)
        return TextDecoderOutputType(TextDecoderMLMultiArrayOutputType{});
    return TextDecoderOutputType(
        TextDecoderMLMultiArrayOutputType{std::move(out->first), std::move(out->second)});
}

std::optional<std::pair<ml::MultiArray, DecodingCache>> TextDecoder::predictLogits(
    const ml::MultiArray& inputIds, const ml::MultiArray& cacheLength,
    const ml::MultiArray& keyCache, const ml::MultiArray& valueCache,
    const ml::MultiArray& kvCacheUpdateMask, const ml::MultiArray& encoderOutputEmbeds,
    const ml::MultiArray& decoderKeyPaddingMask, std::stop_token stopToken) {
    // The prediction holds its own reference, so an unload meanwhile cannot pull the model.
    const std::shared_ptr<ml::Model> decoder = model();
    if (!decoder)
        return std::nullopt;
    const TextDecoderInput features(inputIds, cacheLength, keyCache, valueCache, kvCacheUpdateMask,
                                    encoderOutputEmbeds, decoderKeyPaddingMask);
    if (stopToken.stop_requested())
        throw vevidocore::CancellationError();
    const TextDecoderOutput out(decoder->predict(features));
    return std::pair{out.logits(), DecodingCache{out.key_cache_updates(), out.value_cache_updates(),
                                                 out.alignment_heads_weights()}};
}

std::shared_ptr<DecodingInputsType> TextDecoder::prepareDecoderInputs(
    const std::vector<std::int64_t>& prompt) {
    const auto width = kvCacheEmbedDim();
    if (!width)
        throw WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheEmbedDim");
    const auto length = kvCacheMaxSequenceLength();
    if (!length) {
        throw WhisperError::prepareDecoderInputsFailed(
            "Unable to determine kvCacheMaxSequenceLength");
    }
    const auto frames = windowSize();
    if (!frames)
        throw WhisperError::prepareDecoderInputsFailed("Unable to determine encoderOutputDim");

    using ml::MultiArrayDataType;
    const std::int64_t e = *width;
    const std::int64_t s = *length;
    ml::MultiArray kvCacheUpdateMask({1, s}, MultiArrayDataType::int32);
    kvCacheUpdateMask.data<std::int32_t>()[0] = 1;
    ml::MultiArray decoderKeyPaddingMask({1, s}, MultiArrayDataType::float16,
                                         ml::Float16(kShutOut));
    decoderKeyPaddingMask.data<ml::Float16>()[0] = ml::Float16(0.0f);
    return std::make_shared<DecodingInputs>(
        prompt, ml::MultiArray({1}, MultiArrayDataType::int32),
        ml::MultiArray({1}, MultiArrayDataType::int32),
        ml::MultiArray({1, e, 1, s}, MultiArrayDataType::float16),
        ml::MultiArray({1, e, 1, s}, MultiArrayDataType::float16),
        ml::MultiArray({s, *frames}, MultiArrayDataType::float16), std::move(kvCacheUpdateMask),
        std::move(decoderKeyPaddingMask), ml::MultiArray({1, e, 1, s}, MultiArrayDataType::float16),
        ml::MultiArray({1, e, 1, s}, MultiArrayDataType::float16));
}

std::shared_ptr<DecodingInputsType> TextDecoder::prefillDecoderInputs(
    std::shared_ptr<DecodingInputsType> decoderInputs,
    const std::optional<DecodingOptions>& options, std::stop_token stopToken) {
    const std::shared_ptr<const WhisperTokenizer> tokenizer = tokenizer_;
    if (!tokenizer)
        throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    auto* inputs = dynamic_cast<DecodingInputs*>(decoderInputs.get());
    if (inputs == nullptr) {
        throw WhisperError::prepareDecoderInputsFailed(
            "Unable to cast decoderInputs to DecodingInputs");
    }
    const SpecialTokens& special = tokenizer->specialTokens();

    std::vector<std::int64_t> prompt{special.startOfTranscriptToken};
    std::int64_t languageToken = special.englishToken;
    std::int64_t taskToken = special.transcribeToken;
    if (options) {
        if (isModelMultilingual_) {
            const std::string code = options->language.value_or("en");
            languageToken =
                tokenizer->convertTokenToId("<|" + code + "|>").value_or(special.englishToken);
            prompt.push_back(languageToken);
            const bool translate = options->task == DecodingTask::translate;
            taskToken = tokenizer->convertTokenToId(translate ? "<|translate|>" : "<|transcribe|>")
                            .value_or(special.transcribeToken);
            prompt.push_back(taskToken);
        }
        prompt.push_back(options->withoutTimestamps ? special.noTimestampsToken
                                                    : special.timeTokenBegin);
        if (options->promptTokens) {
            std::vector<std::int64_t> previous{special.startOfPreviousToken};
            const auto text =
                lastTextTokens(*options->promptTokens, kMaxPromptTokens, special.specialTokenBegin);
            previous.insert(previous.end(), text.begin(), text.end());
            prompt.insert(prompt.begin(), previous.begin(), previous.end());
        }
        if (options->prefixTokens) {
            const auto prefix =
                lastTextTokens(*options->prefixTokens, kMaxPrefixTokens, special.specialTokenBegin);
            prompt.insert(prompt.end(), prefix.begin(), prefix.end());
        }
    }
    inputs->initialPrompt() = prompt;

    ml::MultiArray& updateMask = inputs->kvCacheUpdateMask();
    ml::MultiArray& paddingMask = inputs->decoderKeyPaddingMask();
    const bool usePrefill =
        options && options->usePrefillCache && prefillData_ && !options->promptTokens;
    if (usePrefill) {
        const std::int64_t taskFlag = taskToken != special.transcribeToken ? 1 : 0;
        const std::optional<DecodingCache> cache =
            prefillKVCache(ml::MultiArray::from({taskFlag}, 1),
                           ml::MultiArray::from({languageToken}, 1), stopToken);
        if (!cache) {
            Logging::error("Unable to prefill cache");
            return decoderInputs;
        }
        inputs->prefillKeyCache() = *cache->keyCache;
        inputs->prefillValueCache() = *cache->valueCache;
        const auto start = std::find(prompt.begin(), prompt.end(), special.startOfTranscriptToken);
        const std::int64_t insertAt = start == prompt.end() ? 0 : start - prompt.begin();
        updateKVCache(inputs->keyCache(), inputs->prefillKeyCache(), inputs->valueCache(),
                      inputs->prefillValueCache(), insertAt);
        const std::int64_t prefilled = inputs->prefillKeyCache().shape()[3];
        inputs->cacheLength().setValue(0, static_cast<double>(prefilled));
        const std::int64_t last = std::min(prefilled, updateMask.count() - 1);
        for (std::int64_t i = 0; i <= last; ++i) {
            updateMask.setValue(i, 0);
            paddingMask.setValue(i, 0);
        }
        if (prefilled == last)
            updateMask.setValue(prefilled, 1);
    } else {
        updateMask.setValue(0, 0);
        paddingMask.setValue(0, 0);
        updateMask.setValue(0, 1);
    }
    return decoderInputs;
}

std::optional<DecodingCache> TextDecoder::prefillKVCache(const ml::MultiArray& task,
                                                         const ml::MultiArray& language,
                                                         std::stop_token stopToken) {
    const TextDecoderCachePrefillInput features(task, language);
    const std::shared_ptr<WhisperMLModel> stage = prefillData_;
    const std::shared_ptr<ml::Model> prefill = stage ? stage->model() : nullptr;
    if (!prefill)
        return std::nullopt;
    if (stopToken.stop_requested())
        throw vevidocore::CancellationError();
    const TextDecoderCachePrefillOutput out(prefill->predict(features));
    return DecodingCache{out.key_cache_prefill(), out.value_cache_prefill(), std::nullopt};
}

std::vector<std::shared_ptr<LogitsFiltering>> TextDecoder::createLogitsFilters(
    const DecodingOptions& options, std::int64_t /*prefilledIndex*/,
    std::int64_t initialPromptIndex, const WhisperTokenizer& tokenizer) const {
    std::vector<std::shared_ptr<LogitsFiltering>> filters;
    if (logitsFilters_)
        filters = *logitsFilters_;
    const SpecialTokens& special = tokenizer.specialTokens();
    if (options.suppressBlank) {
        // The first sampled position is the end of the prompt; a prefilled cache only saves
        // the steps before it.
        filters.push_back(std::make_shared<SuppressBlankFilter>(special, initialPromptIndex));
    }
    if (!options.supressTokens.empty()) {
        std::vector<std::int64_t> text;
        for (std::int64_t t : options.supressTokens) {
            if (t < special.specialTokenBegin)
                text.push_back(t);
        }
        filters.push_back(std::make_shared<SuppressTokensFilter>(std::move(text)));
    }
    if (!options.withoutTimestamps) {
        filters.push_back(std::make_shared<TimestampRulesFilter>(special, initialPromptIndex,
                                                                 isModelMultilingual_));
    }
    return filters;
}

void TextDecoder::debugCaches(const DecodingInputs& inputs, std::int64_t /*tokenIndex*/,
                              std::int64_t prefillSize) const {
    if (!debugEnabled())
        return;
    Logging::debug("--------------- DECODER INPUTS DEBUG ---------------");
    Logging::debug(fmt::format("Cache Length: {:2.0f} Input Token: {:4.0f}",
                               inputs.cacheLength().value(0), inputs.inputIds().value(0)));
    Logging::debug("Key Cache | Val Cache | Align Cache | Update Mask | Decoder Mask | Position");
    const std::int64_t positions =
        std::min<std::int64_t>(prefillSize + 4, Constants::maxTokenContext);
    const auto at = [](const ml::MultiArray& a, std::int64_t i) {
        return i < a.count() ? a.value(i) : 0.0;
    };
    for (std::int64_t i = 0; i < positions; ++i) {
        Logging::debug(fmt::format(
            "{:9.6f} | {:9.6f} | {:9.6f} | {:11.0f} | {:12.0f} | {}", at(inputs.keyCache(), i),
            at(inputs.valueCache(), i), at(inputs.alignmentWeights(), i * 1500),
            at(inputs.kvCacheUpdateMask(), i), at(inputs.decoderKeyPaddingMask(), i), i));
    }
}

void TextDecoder::updateKVCache(ml::MultiArray& keyTensor, const ml::MultiArray& keySlice,
                                ml::MultiArray& valueTensor, const ml::MultiArray& valueSlice,
                                std::int64_t insertAtIndex) {
    const std::vector<std::int64_t>& tensorShape = keyTensor.shape();
    const std::vector<std::int64_t>& sliceShape = keySlice.shape();
    if (tensorShape.size() != 4 || sliceShape.size() != 4 || insertAtIndex < 0)
        return;
    const std::int64_t rows = std::min(tensorShape[1], sliceShape[1]);
    const std::int64_t positions = std::min(sliceShape[3], tensorShape[3] - insertAtIndex);
    const std::vector<std::int64_t>& sliceStrides = keySlice.strides();
    const std::vector<std::int64_t>& keyStrides = keyTensor.strides();
    const std::vector<std::int64_t>& valueStrides = valueTensor.strides();
    ml::Float16* keys = keyTensor.data<ml::Float16>();
    ml::Float16* values = valueTensor.data<ml::Float16>();
    const ml::Float16* newKeys = keySlice.data<ml::Float16>();
    const ml::Float16* newValues = valueSlice.data<ml::Float16>();
    // One position per row and step: a copy far too small to be worth spreading over threads.
    for (std::int64_t e = 0; e < rows; ++e) {
        for (std::int64_t j = 0; j < positions; ++j) {
            const std::int64_t from = e * sliceStrides[1] + j * sliceStrides[3];
            keys[e * keyStrides[1] + (insertAtIndex + j) * keyStrides[3]] = newKeys[from];
            values[e * valueStrides[1] + (insertAtIndex + j) * valueStrides[3]] = newValues[from];
        }
    }
}

void TextDecoder::updateAlignmentWeights(ml::MultiArray& alignmentTensor,
                                         const ml::MultiArray& alignmentSlice,
                                         std::int64_t insertAtIndex) {
    const std::vector<std::int64_t>& shape = alignmentTensor.shape();
    if (shape.size() != 2 || alignmentSlice.shape().size() != 2)
        return;
    const std::int64_t row = insertAtIndex + 1;
    if (row < 0 || row >= shape[0])
        return;
    const std::int64_t columns = std::min(alignmentSlice.shape()[1], shape[1]);
    const std::int64_t sliceStride = alignmentSlice.strides()[1];
    const std::vector<std::int64_t>& strides = alignmentTensor.strides();
    ml::Float16* target = alignmentTensor.data<ml::Float16>();
    const ml::Float16* source = alignmentSlice.data<ml::Float16>();
    for (std::int64_t k = 0; k < columns; ++k) {
        target[row * strides[0] + k * strides[1]] = source[k * sliceStride];
    }
}

DecodingResult TextDecoder::decodeText(const AudioEncoderOutputType& encoderOutput,
                                       DecodingInputsType& decoderInputs, TokenSampling& sampler,
                                       const DecodingOptions& options,
                                       const TranscriptionCallback& callback,
                                       std::stop_token stopToken) {
    const std::shared_ptr<const WhisperTokenizer> tokenizer = tokenizer_;
    if (!tokenizer)
        throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    const SpecialTokens& special = tokenizer->specialTokens();
    if (decoderInputs.initialPrompt().empty()) {
        throw WhisperError::prepareDecoderInputsFailed("The decoder inputs hold no prompt");
    }

    const auto prefilledIndex = static_cast<std::int64_t>(decoderInputs.cacheLength().value(0));
    const auto initialPromptIndex = static_cast<std::int64_t>(decoderInputs.initialPrompt().size());
    std::vector<std::int64_t> currentTokens = decoderInputs.initialPrompt();
    std::vector<float> logProbs(currentTokens.size(), 0.0f);
    std::int64_t nextToken = currentTokens.back();
    const std::vector<std::shared_ptr<LogitsFiltering>> filters =
        createLogitsFilters(options, prefilledIndex, initialPromptIndex, *tokenizer);
    std::int64_t loopCount = std::min(options.sampleLength, Constants::maxTokenContext - 1);
    auto* inputs = dynamic_cast<DecodingInputs*>(&decoderInputs);
    if (inputs != nullptr && inputs->kvCacheUpdateMask().count() > 0) {
        // Every step writes its position and opens the next one: keep both inside the masks.
        loopCount = std::min(loopCount, inputs->kvCacheUpdateMask().count() - 1);
    }
    currentTokens.reserve(currentTokens.size() +
                          static_cast<std::size_t>(std::max<std::int64_t>(loopCount, 0)) + 1);
    logProbs.reserve(currentTokens.capacity());

    Logging::debug("Running main loop for a maximum of " + std::to_string(loopCount) +
                   " iterations, starting at index " + std::to_string(prefilledIndex));
    const vevidocore::UUID windowId = vevidocore::UUID::random();
    earlyStopActor_->set(false, windowId);

    // The first position whose prediction is kept: the end of the prompt, which a prefilled cache
    // reaches at once and plain decoding only after forcing the prompt through.
    const std::int64_t firstPredictedIndex = std::max(prefilledIndex, initialPromptIndex - 1);
    auto* greedy = dynamic_cast<GreedyTokenSampler*>(&sampler);
    const auto* embeds = std::any_cast<ml::MultiArray>(&encoderOutput);
    const bool debug = debugEnabled();
    // The loop's running totals: a record in which only the decoding fields move.
    TranscriptionTimings totals;
    bool hasAlignment = false;
    bool isFirstTokenLogProbTooLow = false;

    // How sure the model is that the window holds no speech: the no-speech token's probability
    // at the start-of-transcript position, before any filter. A cache prefilled past that
    // position skips its step, so the step is then predicted on its own.
    const std::vector<std::int64_t>& prompt = decoderInputs.initialPrompt();
    const auto startOfTranscript =
        std::find(prompt.begin(), prompt.end(), special.startOfTranscriptToken);
    const std::int64_t startIndex =
        startOfTranscript == prompt.end()
            ? -1
            : static_cast<std::int64_t>(startOfTranscript - prompt.begin());
    float noSpeechProb = 0;
    if (startIndex >= 0 && startIndex < prefilledIndex && inputs != nullptr && embeds != nullptr) {
        const Stopwatch prediction;
        if (const auto output = predictAgainAt(*this, *inputs, *embeds, startIndex,
                                               special.startOfTranscriptToken, stopToken)) {
            noSpeechProb = probabilityOf(*output->logits, special.noSpeechToken);
        }
        totals.decodingPredictions += prediction.seconds();
    }

    for (std::int64_t tokenIndex = prefilledIndex; tokenIndex < loopCount; ++tokenIndex) {
        const Stopwatch step;
        if (tokenIndex < initialPromptIndex) {
            std::int64_t& promptToken = currentTokens[static_cast<std::size_t>(tokenIndex)];
            if (tokenIndex == initialPromptIndex - 1 && promptToken >= special.timeTokenBegin &&
                nextToken >= special.timeTokenBegin) {
                promptToken = nextToken;
                if (debug) {
                    Logging::debug(
                        "Skipping prompt tokenIndex: " + std::to_string(initialPromptIndex - 1) +
                        ", token: " + std::to_string(nextToken) +
                        ", text: " + tokenizer->decode({nextToken}));
                }
            } else {
                nextToken = promptToken;
                if (debug) {
                    Logging::debug("Forcing prompt tokenIndex: " + std::to_string(tokenIndex) +
                                   ", token: " + std::to_string(nextToken) +
                                   ", text: " + tokenizer->decode({nextToken}));
                }
            }
        }

        if (inputs == nullptr) {
            throw WhisperError::prepareDecoderInputsFailed(
                "DecodingInputsType must be DecodingInputs");
        }
        DecodingInputs& in = *inputs;
        in.inputIds().setValue(0, static_cast<double>(nextToken));
        in.cacheLength().setValue(0, static_cast<double>(tokenIndex));
        if (tokenIndex <= prefilledIndex + 3)
            debugCaches(in, tokenIndex, prefilledIndex);

        const Stopwatch prediction;
        if (embeds == nullptr)
            throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
        const std::optional<TextDecoderMLMultiArrayOutputType> output =
            predictStep(*this, in, *embeds, stopToken);
        if (!output)
            throw WhisperError::decodingLogitsFailed("Unable to decode logits");
        const double predictionTime = prediction.seconds();
        const Stopwatch nonPrediction;
        if (tokenIndex == startIndex)
            noSpeechProb = probabilityOf(*output->logits, special.noSpeechToken);

        ml::MultiArray logits = *output->logits;
        for (const auto& filter : filters)
            logits = filter->filterLogits(logits, currentTokens);
        const double filteringTime = nonPrediction.seconds();

        const Stopwatch sampling;
        float nextLogprob = 0;
        bool completed = false;
        if (greedy != nullptr) {
            std::tie(nextToken, nextLogprob) = greedy->sample(logits);
            completed = nextToken == greedy->eotToken;
        } else {
            const SamplingResult sampled = sampler.update(currentTokens, logits, logProbs);
            nextToken = sampled.tokens.back();
            nextLogprob = sampled.logProbs.back();
            completed = sampled.completed;
        }
        if (debug) {
            Logging::debug("Predicted next tokenIndex: " + std::to_string(tokenIndex + 1) +
                           ", token: " + std::to_string(nextToken) +
                           ", text: " + tokenizer->decode({nextToken}));
        }
        const double samplingTime = sampling.seconds();

        if (tokenIndex == firstPredictedIndex && options.firstTokenLogProbThreshold &&
            nextLogprob < *options.firstTokenLogProbThreshold) {
            isFirstTokenLogProbTooLow = true;
        }
        const bool windowComplete =
            completed ||
            static_cast<std::int64_t>(currentTokens.size()) >= Constants::maxTokenContext - 1 ||
            isFirstTokenLogProbTooLow;
        if (windowComplete) {
            totals.decodingPredictions += predictionTime;
            totals.decodingFiltering += filteringTime;
            totals.decodingSampling += samplingTime;
            totals.decodingNonPrediction += nonPrediction.seconds();
            totals.decodingLoop += step.seconds();
            totals.totalDecodingLoops += 1;
            break;
        }

        if (tokenIndex >= initialPromptIndex - 1) {
            currentTokens.push_back(nextToken);
            logProbs.push_back(nextLogprob);
        }

        const Stopwatch caching;
        if (output->cache && output->cache->keyCache && output->cache->valueCache) {
            updateKVCache(in.keyCache(), *output->cache->keyCache, in.valueCache(),
                          *output->cache->valueCache, tokenIndex);
        }
        in.decoderKeyPaddingMask().setValue(tokenIndex + 1, 0);
        in.kvCacheUpdateMask().setValue(tokenIndex, 0);
        in.kvCacheUpdateMask().setValue(tokenIndex + 1, 1);
        if (output->cache && output->cache->alignmentWeights) {
            updateAlignmentWeights(in.alignmentWeights(), *output->cache->alignmentWeights,
                                   tokenIndex);
            hasAlignment = true;
        }
        const double cacheTime = caching.seconds();

        if (callback) {
            std::vector<std::int64_t> textTokens;
            if (options.skipSpecialTokens) {
                for (std::int64_t t : currentTokens) {
                    if (t < special.specialTokenBegin)
                        textTokens.push_back(t);
                }
            }
            TranscriptionProgress progress;
            progress.text =
                tokenizer->decode(options.skipSpecialTokens ? textTokens : currentTokens);
            progress.tokens = currentTokens;
            progress.avgLogprob = std::accumulate(logProbs.begin(), logProbs.end(), 0.0f) /
                                  static_cast<float>(logProbs.size());
            progress.compressionRatio = TextUtilities::compressionRatio(currentTokens);
            TranscriptionTimings running = totals;
            running.decodingPredictions += predictionTime;
            running.decodingFiltering += filteringTime;
            running.decodingSampling += samplingTime;
            running.decodingKvCaching += cacheTime;
            running.totalKVUpdateRuns += 1;
            progress.timings = running;
            progress.windowId = 0;
            const bool isPrefill = tokenIndex < initialPromptIndex - 1;
            if (callback(progress) == std::optional<bool>(false) && !isPrefill) {
                Logging::debug("Early stopping");
                earlyStopActor_->set(true, windowId);
            }
        }

        const double nonPredictionTime = nonPrediction.seconds();
        const double stepTime = step.seconds();
        if (tokenIndex == prefilledIndex) {
            if (debug)
                Logging::debug(fmt::format("Found first token at: {:.3f}",
                                           TranscriptionTimings::absoluteTime()));
            totals.firstTokenTime = TranscriptionTimings::absoluteTime();
        }
        const bool stop = earlyStopActor_->get(windowId);
        totals.decodingPredictions += predictionTime;
        totals.decodingFiltering += filteringTime;
        totals.decodingSampling += samplingTime;
        totals.decodingKvCaching += cacheTime;
        totals.decodingNonPrediction += nonPredictionTime;
        totals.decodingLoop += stepTime;
        totals.totalKVUpdateRuns += 1;
        totals.totalDecodingLoops += 1;
        if (stop)
            break;
    }

    if (!earlyStopActor_->remove(windowId)) {
        Logging::error("Early stop flag not found for window: " + windowId.uuidString());
    }
    std::optional<DecodingCache> cache;
    if (inputs != nullptr) {
        cache =
            DecodingCache{inputs->keyCache(), inputs->valueCache(),
                          hasAlignment ? std::optional(inputs->alignmentWeights()) : std::nullopt};
    }

    const SamplingResult finalized = sampler.finalize(currentTokens, logProbs);
    const auto firstStart =
        std::find(finalized.tokens.begin(), finalized.tokens.end(), special.startOfTranscriptToken);
    const std::size_t start = firstStart == finalized.tokens.end()
                                  ? 0
                                  : static_cast<std::size_t>(firstStart - finalized.tokens.begin());
    // The end of text that closes the window: the first one from the start of the transcript on
    // (the sampler ends the list with one when it is missing).
    const auto firstEnd = std::find(finalized.tokens.begin() + static_cast<std::ptrdiff_t>(start),
                                    finalized.tokens.end(), special.endToken);
    const std::size_t end = firstEnd == finalized.tokens.end()
                                ? finalized.tokens.size()
                                : static_cast<std::size_t>(firstEnd - finalized.tokens.begin()) + 1;

    DecodingResult result;
    result.tokens.assign(finalized.tokens.begin() + static_cast<std::ptrdiff_t>(start),
                         finalized.tokens.begin() + static_cast<std::ptrdiff_t>(end));
    std::vector<float> keptLogProbs;
    for (std::size_t i = start; i < end; ++i) {
        keptLogProbs.push_back(i < finalized.logProbs.size() ? finalized.logProbs[i] : 0.0f);
    }
    for (std::size_t i = 0; i < result.tokens.size(); ++i) {
        result.tokenLogProbs.push_back({{result.tokens[i], keptLogProbs[i]}});
    }
    std::vector<std::int64_t> textTokens;
    for (std::int64_t t : result.tokens) {
        if (t < special.specialTokenBegin)
            textTokens.push_back(t);
    }
    result.compressionRatio = TextUtilities::compressionRatio(textTokens);
    result.temperature = greedy != nullptr
                             ? vevidocore::rounded(static_cast<float>(greedy->temperature), 3)
                             : options.temperature;

    if (options.language) {
        result.language = *options.language;
        result.languageProbs = {{*options.language, 0.0f}};
    } else {
        const std::set<std::int64_t>& languages = tokenizer->allLanguageTokens();
        const auto found = std::find_if(result.tokens.begin(), result.tokens.end(),
                                        [&](std::int64_t t) { return languages.contains(t); });
        if (found != result.tokens.end()) {
            const auto i = static_cast<std::size_t>(found - result.tokens.begin());
            result.language = withoutMarks(tokenizer->decode({*found}));
            result.languageProbs = {{result.language, keptLogProbs[i]}};
        } else {
            result.language = std::string(Constants::defaultLanguageCode);
            result.languageProbs = {{result.language, 0.0f}};
        }
    }
    result.avgLogProb = std::accumulate(keptLogProbs.begin(), keptLogProbs.end(), 0.0f) /
                        static_cast<float>(keptLogProbs.size());
    result.text = tokenizer->decode(result.tokens);
    Logging::debug("Completed window: " + result.text);
    result.noSpeechProb = noSpeechProb;
    result.cache = std::move(cache);
    result.timings = totals;
    result.fallback = DecodingFallback::verdict(options, isFirstTokenLogProbTooLow, noSpeechProb,
                                                result.compressionRatio, result.avgLogProb);
    return result;
}

std::vector<DecodingResult> TextDecoder::decodeText(const ml::MultiArray& encoderOutput,
                                                    DecodingInputs& decoderInputs,
                                                    TokenSampling& sampler,
                                                    const DecodingOptions& options,
                                                    const TranscriptionCallback& callback,
                                                    std::stop_token stopToken) {
    return {decodeText(AudioEncoderOutputType(encoderOutput),
                       static_cast<DecodingInputsType&>(decoderInputs), sampler, options, callback,
                       stopToken)};
}

std::shared_ptr<LanguageLogitsFilter> TextDecoder::languageLogitsFilter() const {
    std::lock_guard lock(languageFilterMutex_);
    return languageLogitsFilter_;
}

void TextDecoder::unloadModel() {
    WhisperMLModel::unloadModel();
    prefillData_.reset();
    std::lock_guard lock(languageFilterMutex_);
    languageLogitsFilter_.reset();
}

DecodingResult TextDecoder::detectLanguage(const AudioEncoderOutputType& encoderOutput,
                                           DecodingInputsType& decoderInputs,
                                           TokenSampling& sampler,
                                           const DecodingOptions& /*options*/,
                                           ml::Float16 /*temperature*/, std::stop_token stopToken) {
    const std::shared_ptr<const WhisperTokenizer> tokenizer = tokenizer_;
    if (!tokenizer)
        throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    const std::optional<std::int64_t> size = logitsSize();
    if (!size)
        throw WhisperError::modelsUnavailable("Failed to read logits size from model");
    const SpecialTokens& special = tokenizer->specialTokens();
    const std::vector<std::int64_t> tokens{special.startOfTranscriptToken};
    const std::vector<float> logProbs{0.0f};

    std::shared_ptr<LanguageLogitsFilter> filter;
    {
        std::lock_guard lock(languageFilterMutex_);
        if (!languageLogitsFilter_) {
            languageLogitsFilter_ =
                std::make_shared<LanguageLogitsFilter>(tokenizer->allLanguageTokens(), *size, 0);
        }
        filter = languageLogitsFilter_;
    }

    decoderInputs.inputIds().setValue(0, static_cast<double>(special.startOfTranscriptToken));
    decoderInputs.cacheLength().setValue(0, 0);
    const Stopwatch prediction;
    Logging::debug("Detecting language...");
    const auto* embeds = std::any_cast<ml::MultiArray>(&encoderOutput);
    if (embeds == nullptr)
        throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
    DecodingInputs& in = concreteInputs(decoderInputs, "DecodingInputsType must be DecodingInputs");

    const std::optional<TextDecoderMLMultiArrayOutputType> output =
        predictStep(*this, in, *embeds, stopToken);
    if (!output) {
        Logging::error("Unable to decode logits");
        throw WhisperError::decodingLogitsFailed("Unable to decode logits from the model output");
    }
    const double predictionTime = prediction.seconds();

    const ml::MultiArray logits = filter->filterLogits(*output->logits, tokens);
    const Stopwatch sampling;
    const SamplingResult sampled = sampler.update(tokens, logits, logProbs);
    const double samplingTime = sampling.seconds();

    DecodingResult result;
    const std::set<std::int64_t>& languages = tokenizer->allLanguageTokens();
    for (std::size_t i = 0; i < sampled.tokens.size(); ++i) {
        if (!languages.contains(sampled.tokens[i]))
            continue;
        const float logProb = i < sampled.logProbs.size() ? sampled.logProbs[i] : 0.0f;
        result.languageProbs[withoutMarks(tokenizer->decode({sampled.tokens[i]}))] = logProb;
    }
    const std::string detected = sampled.tokens.empty()
                                     ? std::string()
                                     : withoutMarks(tokenizer->decode({sampled.tokens.back()}));
    if (Constants::languageCodes().contains(detected)) {
        Logging::debug("Detected language: " + detected);
        result.language = detected;
    } else {
        Logging::error("Detected language " + detected + " is not supported, defaulting to en");
        result.language = std::string(Constants::defaultLanguageCode);
    }
    TranscriptionTimings timings;
    timings.decodingPredictions = predictionTime;
    timings.decodingSampling = samplingTime;
    result.timings = timings;
    return result;
}

std::vector<DecodingResult> TextDecoder::detectLanguage(
    const ml::MultiArray& encoderOutput, DecodingInputs& decoderInputs, TokenSampling& sampler,
    const DecodingOptions& options, ml::Float16 temperature, std::stop_token stopToken) {
    return {detectLanguage(AudioEncoderOutputType(encoderOutput),
                           static_cast<DecodingInputsType&>(decoderInputs), sampler, options,
                           temperature, stopToken)};
}

}  // namespace rararozuvu
