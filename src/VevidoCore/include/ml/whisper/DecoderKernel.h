#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "ml/Float16.h"
#include "ml/Safetensors.h"
#include "ml/whisper/WhisperHyperParameters.h"

namespace ml::whisper {

// The cross-attention keys and values a decoder derives from one encoder output.
struct CrossAttention;

// The inputs of one decoder step, named and laid out as the "TextDecoder" features. Let
// L = decoder layers, D = d_model, E = L × D, S = cache slots (any S ≥ 1; taken from the size of
// keyCache) and W = encoder frames (max_source_positions).
struct DecoderStepInputs {
    std::int32_t inputId = 0;  // "input_ids" [1] Int32: the token fed at this step
    std::int32_t cacheLength =
        0;  // "cache_length" [1] Int32: its position (0 ≤ p < max_target_positions)
    // "key_cache" / "value_cache" [1, E, 1, S] Float16, contiguous: row e = layer · D + channel,
    // slot s at e · S + s.
    std::span<const Float16> keyCache;
    std::span<const Float16> valueCache;
    // "kv_cache_update_mask" [1, S] Int32: non-zero at the slot this step's key and value take
    // (the new token is attended there instead of the cache's contents).
    std::span<const std::int32_t> kvCacheUpdateMask;
    // "encoder_output_embeds" [1, D, 1, W] Float16, channel-major: channel c, frame t at c · W + t.
    std::span<const Float16> encoderOutputEmbeds;
    // "decoder_key_padding_mask" [1, S] Float16: added to the self-attention score of each slot;
    // 0 lets a slot be attended, -10000 hides it. Slots at -1000 or below are skipped outright
    // (their softmax weight is exactly zero in float), unless every slot is that low.
    std::span<const Float16> decoderKeyPaddingMask;
    // What crossAttention() of the same kernel gave for encoderOutputEmbeds, when the caller
    // kept it; otherwise the step looks it up by content.
    const CrossAttention* crossAttention = nullptr;
};

// Where one step writes its results.
struct DecoderStepOutputs {
    std::span<Float16> logits;             // "logits" [1, 1, V] Float16
    std::span<Float16> keyCacheUpdates;    // "key_cache_updates" [1, E, 1, 1] Float16: row e at e
    std::span<Float16> valueCacheUpdates;  // "value_cache_updates" [1, E, 1, 1] Float16
    // "alignment_heads_weights" [1, W] Float16: the cross-attention weights of the new token,
    // averaged over the checkpoint's alignment heads (zeros when it names none). Leave empty to
    // skip computing them.
    std::span<Float16> alignmentHeadsWeights;
};

// One step of the Whisper text decoder: token embedding plus learned position, pre-norm blocks of
// masked self-attention over the key-value cache, cross-attention over the encoder output and a
// feed-forward layer, a final layer norm, and logits against the token embedding (tied output).
//
// Weights use the standard checkpoint names ("model.decoder.embed_tokens.weight" through
// "model.decoder.layer_norm.bias") and are held in half precision; products with them widen on
// the fly and run across the worker threads. Given an owner of the tensors' bytes, the kernel
// reads half-precision matrices where they lie (a weights file that stores a layer's
// self-attention q, k and v projections back to back in that order serves them as one matrix);
// without one, it copies them.
//
// The cross-attention keys and values depend only on the encoder output, so the kernel keeps
// those of the last few encoder outputs its steps saw, matched by content (not by address). Every
// step still equals a stateless evaluation of its inputs. A caller that knows an encoder output
// cannot change can keep what crossAttention() gives for it and hand it to each step, which then
// skips the comparison; the kernel does not keep those itself, so they are freed with the
// caller's last reference. step() and crossAttention() are const and thread-safe.
class DecoderKernel {
public:
    // Throws WhisperKernelError when a tensor is missing or its shape does not fit `params`.
    // `weightsOwner`, when given, keeps the tensors' bytes valid for the kernel's lifetime (the
    // mapped file they point into).
    DecoderKernel(const WhisperHyperParameters& params, std::span<const SafetensorsTensor> weights,
                  std::shared_ptr<const void> weightsOwner = nullptr);
    DecoderKernel(DecoderKernel&&) noexcept;
    DecoderKernel& operator=(DecoderKernel&&) noexcept;
    ~DecoderKernel();

    const WhisperHyperParameters& hyperParameters() const;
    std::size_t vocabularySize() const;   // V
    std::size_t kvCacheEmbedDim() const;  // E = decoder layers × d_model
    std::size_t encoderFrames() const;    // W

    // Throws WhisperKernelError when a span has the wrong size, the token id is outside the
    // vocabulary or the position outside the learned positions; nothing is written then.
    void step(const DecoderStepInputs& in, const DecoderStepOutputs& out) const;

    // The cross-attention keys and values of an encoder output (dModel × W halves, channel-major),
    // found among the cached ones by content or computed (and then not cached). Throws
    // WhisperKernelError when the span has the wrong size.
    std::shared_ptr<const CrossAttention> crossAttention(std::span<const Float16> encoder) const;

    // Bytes of weights one step reads (what bounds its speed from below).
    std::size_t stepWeightBytes() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ml::whisper
