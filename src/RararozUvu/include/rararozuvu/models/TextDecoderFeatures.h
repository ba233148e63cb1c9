#pragma once

// The features of the "TextDecoder" model: one decoding step with its key-value cache.

#include <optional>

#include "ml/FeatureProvider.h"
#include "ml/MultiArray.h"
#include "ml/ShapedArray.h"
#include "rararozuvu/models/ModelStageOutput.h"

namespace rararozuvu {

class TextDecoderInput : public ml::FeatureProvider {
public:
    TextDecoderInput(ml::MultiArray input_ids, ml::MultiArray cache_length,
                     ml::MultiArray key_cache, ml::MultiArray value_cache,
                     ml::MultiArray kv_cache_update_mask, ml::MultiArray encoder_output_embeds,
                     ml::MultiArray decoder_key_padding_mask);
    // From plain values: the float arrays are converted to the element types the decoder model
    // takes (half precision, and 32-bit integers for the update mask).
    TextDecoderInput(const ml::ShapedArray<std::int32_t>& input_ids,
                     const ml::ShapedArray<std::int32_t>& cache_length,
                     const ml::ShapedArray<float>& key_cache,
                     const ml::ShapedArray<float>& value_cache,
                     const ml::ShapedArray<float>& kv_cache_update_mask,
                     const ml::ShapedArray<float>& encoder_output_embeds,
                     const ml::ShapedArray<float>& decoder_key_padding_mask);

    std::set<std::string> featureNames() const override;
    std::optional<ml::FeatureValue> featureValue(std::string_view name) const override;

    ml::MultiArray input_ids;
    ml::MultiArray cache_length;
    ml::MultiArray key_cache;
    ml::MultiArray value_cache;
    ml::MultiArray kv_cache_update_mask;
    ml::MultiArray encoder_output_embeds;
    ml::MultiArray decoder_key_padding_mask;
};

class TextDecoderOutput : public ModelStageOutput {
public:
    using ModelStageOutput::ModelStageOutput;
    TextDecoderOutput(ml::MultiArray logits, ml::MultiArray key_cache_updates,
                      ml::MultiArray value_cache_updates);

    ml::MultiArray logits() const { return required("logits"); }
    ml::ShapedArray<ml::Float16> logitsShapedArray() const { return requiredHalves("logits"); }
    ml::MultiArray key_cache_updates() const { return required("key_cache_updates"); }
    ml::ShapedArray<ml::Float16> key_cache_updatesShapedArray() const {
        return requiredHalves("key_cache_updates");
    }
    ml::MultiArray value_cache_updates() const { return required("value_cache_updates"); }
    ml::ShapedArray<ml::Float16> value_cache_updatesShapedArray() const {
        return requiredHalves("value_cache_updates");
    }
    // Absent when the model gives no alignment weights.
    std::optional<ml::MultiArray> alignment_heads_weights() const {
        return provider->multiArray("alignment_heads_weights");
    }
    std::optional<ml::ShapedArray<ml::Float16>> alignment_heads_weightsShapedArray() const;
};

}  // namespace rararozuvu
