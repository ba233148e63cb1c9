#include "WhisperPrograms.h"

#include <fmt/format.h>

#include <array>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "WorkingBlocks.h"
#include "ml/ModelError.h"
#include "ml/Program.h"
#include "ml/whisper/DecoderKernel.h"
#include "ml/whisper/EncoderKernel.h"
#include "ml/whisper/MelKernel.h"

namespace ml {

namespace {

using whisper::WhisperHyperParameters;
using whisper::WhisperKernelError;

struct SizeSetting {
    const char* name;
    std::size_t WhisperHyperParameters::*field;
};

constexpr std::array<SizeSetting, 11> kSizes{{
    {"num_mel_bins", &WhisperHyperParameters::numMelBins},
    {"d_model", &WhisperHyperParameters::dModel},
    {"encoder_layers", &WhisperHyperParameters::encoderLayers},
    {"encoder_attention_heads", &WhisperHyperParameters::encoderAttentionHeads},
    {"encoder_ffn_dim", &WhisperHyperParameters::encoderFfnDim},
    {"decoder_layers", &WhisperHyperParameters::decoderLayers},
    {"decoder_attention_heads", &WhisperHyperParameters::decoderAttentionHeads},
    {"decoder_ffn_dim", &WhisperHyperParameters::decoderFfnDim},
    {"vocab_size", &WhisperHyperParameters::vocabSize},
    {"max_source_positions", &WhisperHyperParameters::maxSourcePositions},
    {"max_target_positions", &WhisperHyperParameters::maxTargetPositions},
}};

std::int64_t signed64(std::size_t v) {
    return static_cast<std::int64_t>(v);
}

// Runs a program's construction, turning a kernel's complaint about the bundle into a load error.
template <class P>
std::unique_ptr<Program> build(const ProgramContext& context) {
    try {
        return std::make_unique<P>(context);
    } catch (const WhisperKernelError& e) {
        throw ModelError(ModelError::Case::io,
                         fmt::format("{}: {}", context.folder.string(), e.what()));
    }
}

MultiArray halfArray(std::vector<std::int64_t> shape) {
    return MultiArray(std::move(shape), MultiArrayDataType::float16);
}

class MelSpectrogramProgram : public Program {
public:
    explicit MelSpectrogramProgram(const ProgramContext& context)
        : params_(whisperHyperParameters(context.bundle.hyperParameters)),
          kernel_(params_.numMelBins) {
        const WhisperFeatures f = melSpectrogramFeatures(params_);
        context.expectFeatures(f.inputs, f.outputs);
    }

    DictionaryFeatureProvider predict(const FeatureProvider& inputs) const override {
        const MultiArray audio = input(inputs, "audio");
        MultiArray mel({1, signed64(params_.numMelBins), 1, signed64(whisper::MelKernel::kFrames)},
                       MultiArrayDataType::float32);
        kernel_.compute(audio.span<float>(), mel.span<float>());
        DictionaryFeatureProvider out;
        out.set("melspectrogram_features", mel);
        return out;
    }

private:
    WhisperHyperParameters params_;
    whisper::MelKernel kernel_;
};

class AudioEncoderProgram : public Program {
public:
    explicit AudioEncoderProgram(const ProgramContext& context)
        : params_(whisperHyperParameters(context.bundle.hyperParameters)),
          kernel_(params_, weights(context), context.weights) {
        const WhisperFeatures f = audioEncoderFeatures(params_);
        context.expectFeatures(f.inputs, f.outputs);
    }

    DictionaryFeatureProvider predict(const FeatureProvider& inputs) const override {
        const MultiArray mel = input(inputs, "melspectrogram_features");
        MultiArray embeds =
            halfArray({1, signed64(params_.dModel), 1, signed64(kernel_.outputFrames())});
        kernel_.encode(mel.span<float>(), embeds.span<Float16>());
        // Nothing writes the output again, so the decoder may know it by its buffer.
        embeds.seal();
        DictionaryFeatureProvider out;
        out.set("encoder_output_embeds", embeds);
        return out;
    }

    static std::span<const SafetensorsTensor> weights(const ProgramContext& context) {
        if (!context.weights) {
            throw ModelError(ModelError::Case::io,
                             fmt::format("{}: the model has no weights", context.folder.string()));
        }
        return context.weights->tensors();
    }

private:
    WhisperHyperParameters params_;
    whisper::EncoderKernel kernel_;
};

class TextDecoderProgram : public Program {
public:
    explicit TextDecoderProgram(const ProgramContext& context)
        : params_(whisperHyperParameters(context.bundle.hyperParameters)),
          kvCacheLength_(context.bundle.hyperParameters.integer("kv_cache_length")),
          kernel_(params_, AudioEncoderProgram::weights(context), context.weights) {
        const WhisperFeatures f = textDecoderFeatures(params_, kvCacheLength_);
        context.expectFeatures(f.inputs, f.outputs);
    }

    DictionaryFeatureProvider predict(const FeatureProvider& inputs) const override {
        const MultiArray inputIds = input(inputs, "input_ids");
        const MultiArray cacheLength = input(inputs, "cache_length");
        const MultiArray keyCache = input(inputs, "key_cache");
        const MultiArray valueCache = input(inputs, "value_cache");
        const MultiArray updateMask = input(inputs, "kv_cache_update_mask");
        const MultiArray embeds = input(inputs, "encoder_output_embeds");
        const MultiArray paddingMask = input(inputs, "decoder_key_padding_mask");

        const std::int64_t width = signed64(kernel_.kvCacheEmbedDim());
        MultiArray logits = halfArray({1, 1, signed64(kernel_.vocabularySize())});
        MultiArray keyUpdates = halfArray({1, width, 1, 1});
        MultiArray valueUpdates = halfArray({1, width, 1, 1});
        std::optional<MultiArray> alignment;
        if (!params_.alignmentHeads.empty()) {
            alignment = halfArray({1, signed64(kernel_.encoderFrames())});
        }
        const std::shared_ptr<const whisper::CrossAttention> cross = crossAttention(embeds);
        const whisper::DecoderStepInputs in{
            inputIds.data<std::int32_t>()[0], cacheLength.data<std::int32_t>()[0],
            keyCache.span<Float16>(),         valueCache.span<Float16>(),
            updateMask.span<std::int32_t>(),  embeds.span<Float16>(),
            paddingMask.span<Float16>(),      cross.get()};
        const whisper::DecoderStepOutputs out{
            logits.span<Float16>(), keyUpdates.span<Float16>(), valueUpdates.span<Float16>(),
            alignment ? alignment->span<Float16>() : std::span<Float16>()};
        try {
            kernel_.step(in, out);
        } catch (const WhisperKernelError& e) {
            // Well-formed inputs with values the model cannot take (a token id past the
            // vocabulary, a position past the learned ones).
            throw ModelError(ModelError::Case::parameters, e.what());
        }
        DictionaryFeatureProvider result;
        result.set("logits", logits);
        result.set("key_cache_updates", keyUpdates);
        result.set("value_cache_updates", valueUpdates);
        if (alignment)
            result.set("alignment_heads_weights", *alignment);
        return result;
    }

private:
    // The cross-attention of a sealed encoder output, found by its buffer: every step of a
    // window reads the same one, and comparing its content each time would cost a pass over it.
    // Outputs that are not sealed are left to the kernel, which compares content.
    std::shared_ptr<const whisper::CrossAttention> crossAttention(const MultiArray& embeds) const {
        if (!embeds.isSealed() || embeds.count() == 0)
            return nullptr;
        const std::weak_ptr<const void> buffer = embeds.buffer();
        {
            std::lock_guard<std::mutex> lock(crossMutex_);
            // The keys and values of an output nobody holds any more go as soon as a step sees
            // it gone, before another output's are computed beside them.
            eraseExpired();
            for (const auto& [known, cross] : crossByBuffer_) {
                if (!known.owner_before(buffer) && !buffer.owner_before(known))
                    return cross;
            }
        }
        auto cross = kernel_.crossAttention(embeds.span<Float16>());
        std::lock_guard<std::mutex> lock(crossMutex_);
        crossByBuffer_.emplace_front(buffer, cross);
        if (crossByBuffer_.size() > kCrossByBuffer)
            crossByBuffer_.pop_back();
        return cross;
    }

    // Enough for the windows a batch transcribes in parallel.
    static constexpr std::size_t kCrossByBuffer = 4;

    // Releases the keys and values of outputs nobody holds any more; crossMutex_ is held.
    void eraseExpired() const {
        std::erase_if(crossByBuffer_, [](const auto& entry) { return entry.first.expired(); });
    }
    void dropExpired() const {
        std::lock_guard<std::mutex> lock(crossMutex_);
        eraseExpired();
    }

    WhisperHyperParameters params_;
    std::int64_t kvCacheLength_;
    whisper::DecoderKernel kernel_;
    mutable std::mutex crossMutex_;
    mutable std::deque<
        std::pair<std::weak_ptr<const void>, std::shared_ptr<const whisper::CrossAttention>>>
        crossByBuffer_;
    // The next window's encoder asks for its block after this window's output is gone but
    // before a step has seen it gone: the keys and values are released for it then. Last, so
    // that it goes first.
    const whisper::WorkingBlockReclaimer reclaimer_{[this] { dropExpired(); }};
};

// Looks the cache rows of the forced prompt up in tables the bundle carries, one per task and
// language: the prefill is data, computed when the bundle was made.
class TextDecoderContextPrefillProgram : public Program {
public:
    explicit TextDecoderContextPrefillProgram(const ProgramContext& context)
        : params_(whisperHyperParameters(context.bundle.hyperParameters)) {
        const HyperParameters& h = context.bundle.hyperParameters;
        prefillLength_ = h.integer("prefill_length");
        firstLanguageToken_ = h.integer("first_language_token");
        languageCount_ = h.integer("language_count");
        if (prefillLength_ < 1 || languageCount_ < 1) {
            throw ModelError(ModelError::Case::io,
                             fmt::format("{}: \"prefill_length\" and \"language_count\" must be "
                                         "positive",
                                         context.folder.string()));
        }
        width_ = signed64(params_.decoderLayers * params_.dModel);
        const std::initializer_list<std::int64_t> shape{2, languageCount_, width_, prefillLength_};
        keys_ = &context.weight("key_cache_prefill", SafetensorsDType::F16, shape);
        values_ = &context.weight("value_cache_prefill", SafetensorsDType::F16, shape);
        weights_ = context.weights;
        const WhisperFeatures f = textDecoderContextPrefillFeatures(params_, prefillLength_);
        context.expectFeatures(f.inputs, f.outputs);
    }

    DictionaryFeatureProvider predict(const FeatureProvider& inputs) const override {
        const std::int32_t task = input(inputs, "task").data<std::int32_t>()[0];
        const std::int32_t language = input(inputs, "language").data<std::int32_t>()[0];
        const std::int64_t row = language - firstLanguageToken_;
        if (task < 0 || task > 1) {
            throw ModelError(
                ModelError::Case::parameters,
                fmt::format("task {} is neither 0 (transcribe) nor 1 (translate)", task));
        }
        if (row < 0 || row >= languageCount_) {
            throw ModelError(ModelError::Case::parameters,
                             fmt::format("token {} is not one of the model's {} language tokens "
                                         "from {}",
                                         language, languageCount_, firstLanguageToken_));
        }
        const std::size_t table =
            static_cast<std::size_t>((task * languageCount_ + row) * width_ * prefillLength_) *
            sizeof(Float16);
        const std::size_t bytes =
            static_cast<std::size_t>(width_ * prefillLength_) * sizeof(Float16);
        DictionaryFeatureProvider out;
        for (const auto& [name, source] :
             {std::pair{"key_cache_prefill", keys_}, std::pair{"value_cache_prefill", values_}}) {
            MultiArray cache = halfArray({1, width_, 1, prefillLength_});
            std::memcpy(cache.dataPointer(), source->data.data() + table, bytes);
            out.set(name, cache);
        }
        return out;
    }

private:
    WhisperHyperParameters params_;
    std::int64_t prefillLength_ = 0;
    std::int64_t firstLanguageToken_ = 0;
    std::int64_t languageCount_ = 0;
    std::int64_t width_ = 0;
    std::shared_ptr<const SafetensorsFile> weights_;  // keeps the two tables mapped
    const SafetensorsTensor* keys_ = nullptr;
    const SafetensorsTensor* values_ = nullptr;
};

}  // namespace

HyperParameters bundleHyperParameters(const WhisperHyperParameters& p) {
    HyperParameters h;
    for (const SizeSetting& s : kSizes)
        h.set(s.name, signed64(p.*s.field));
    HyperParameters::IntegerRows heads;
    for (const auto& [layer, head] : p.alignmentHeads)
        heads.push_back({signed64(layer), signed64(head)});
    h.set("alignment_heads", std::move(heads));
    return h;
}

WhisperHyperParameters whisperHyperParameters(const HyperParameters& h) {
    WhisperHyperParameters p;
    for (const SizeSetting& s : kSizes) {
        const std::int64_t v = h.integer(s.name);
        if (v < 0) {
            throw ModelError(ModelError::Case::io,
                             fmt::format("hyper-parameter \"{}\" is negative", s.name));
        }
        p.*s.field = static_cast<std::size_t>(v);
    }
    for (const auto& pair :
         h.optionalIntegerRows("alignment_heads").value_or(HyperParameters::IntegerRows{})) {
        if (pair.size() != 2 || pair[0] < 0 || pair[1] < 0) {
            throw ModelError(ModelError::Case::io,
                             "hyper-parameter \"alignment_heads\" must hold (layer, head) pairs");
        }
        p.alignmentHeads.emplace_back(static_cast<std::size_t>(pair[0]),
                                      static_cast<std::size_t>(pair[1]));
    }
    try {
        p.validate();
    } catch (const WhisperKernelError& e) {
        throw ModelError(ModelError::Case::io, e.what());
    }
    return p;
}

WhisperFeatures melSpectrogramFeatures(const WhisperHyperParameters& p) {
    return {
        {multiArrayFeature("audio", MultiArrayDataType::float32,
                           {signed64(whisper::MelKernel::kWindowSamples)})},
        {multiArrayFeature("melspectrogram_features", MultiArrayDataType::float32,
                           {1, signed64(p.numMelBins), 1, signed64(whisper::MelKernel::kFrames)})}};
}

WhisperFeatures audioEncoderFeatures(const WhisperHyperParameters& p) {
    return {{multiArrayFeature("melspectrogram_features", MultiArrayDataType::float32,
                               {1, signed64(p.numMelBins), 1, signed64(2 * p.maxSourcePositions)})},
            {multiArrayFeature("encoder_output_embeds", MultiArrayDataType::float16,
                               {1, signed64(p.dModel), 1, signed64(p.maxSourcePositions)})}};
}

WhisperFeatures textDecoderFeatures(const WhisperHyperParameters& p, std::int64_t kvCacheLength) {
    const std::int64_t width = signed64(p.decoderLayers * p.dModel);
    const auto f16 = MultiArrayDataType::float16;
    const auto i32 = MultiArrayDataType::int32;
    WhisperFeatures f{
        {multiArrayFeature("input_ids", i32, {1}), multiArrayFeature("cache_length", i32, {1}),
         multiArrayFeature("key_cache", f16, {1, width, 1, kvCacheLength}),
         multiArrayFeature("value_cache", f16, {1, width, 1, kvCacheLength}),
         multiArrayFeature("kv_cache_update_mask", i32, {1, kvCacheLength}),
         multiArrayFeature("encoder_output_embeds", f16,
                           {1, signed64(p.dModel), 1, signed64(p.maxSourcePositions)}),
         multiArrayFeature("decoder_key_padding_mask", f16, {1, kvCacheLength})},
        {multiArrayFeature("logits", f16, {1, 1, signed64(p.vocabSize)}),
         multiArrayFeature("key_cache_updates", f16, {1, width, 1, 1}),
         multiArrayFeature("value_cache_updates", f16, {1, width, 1, 1})}};
    if (!p.alignmentHeads.empty()) {
        f.outputs.push_back(
            multiArrayFeature("alignment_heads_weights", f16, {1, signed64(p.maxSourcePositions)}));
    }
    return f;
}

WhisperFeatures textDecoderContextPrefillFeatures(const WhisperHyperParameters& p,
                                                  std::int64_t prefillLength) {
    const std::int64_t width = signed64(p.decoderLayers * p.dModel);
    return {{multiArrayFeature("task", MultiArrayDataType::int32, {1}),
             multiArrayFeature("language", MultiArrayDataType::int32, {1})},
            {multiArrayFeature("key_cache_prefill", MultiArrayDataType::float16,
                               {1, width, 1, prefillLength}),
             multiArrayFeature("value_cache_prefill", MultiArrayDataType::float16,
                               {1, width, 1, prefillLength})}};
}

void addWhisperPrograms(ProgramRegistry& registry) {
    registry.add("MelSpectrogram", build<MelSpectrogramProgram>);
    registry.add("AudioEncoder", build<AudioEncoderProgram>);
    registry.add("TextDecoder", build<TextDecoderProgram>);
    registry.add("TextDecoderContextPrefill", build<TextDecoderContextPrefillProgram>);
}

}  // namespace ml
