#include "rararozuvu/models/TextDecoderFeatures.h"

#include "FeatureProviderSupport.h"

namespace rararozuvu {

namespace {

ml::MultiArray as(const ml::ShapedArray<float>& values, ml::MultiArrayDataType type) {
    return values.multiArray().converted(type);
}

}  // namespace

TextDecoderInput::TextDecoderInput(ml::MultiArray input_ids, ml::MultiArray cache_length,
                                   ml::MultiArray key_cache, ml::MultiArray value_cache,
                                   ml::MultiArray kv_cache_update_mask,
                                   ml::MultiArray encoder_output_embeds,
                                   ml::MultiArray decoder_key_padding_mask)
    : input_ids(std::move(input_ids)),
      cache_length(std::move(cache_length)),
      key_cache(std::move(key_cache)),
      value_cache(std::move(value_cache)),
      kv_cache_update_mask(std::move(kv_cache_update_mask)),
      encoder_output_embeds(std::move(encoder_output_embeds)),
      decoder_key_padding_mask(std::move(decoder_key_padding_mask)) {}

TextDecoderInput::TextDecoderInput(const ml::ShapedArray<std::int32_t>& input_ids,
                                   const ml::ShapedArray<std::int32_t>& cache_length,
                                   const ml::ShapedArray<float>& key_cache,
                                   const ml::ShapedArray<float>& value_cache,
                                   const ml::ShapedArray<float>& kv_cache_update_mask,
                                   const ml::ShapedArray<float>& encoder_output_embeds,
                                   const ml::ShapedArray<float>& decoder_key_padding_mask)
    : TextDecoderInput(input_ids.multiArray(), cache_length.multiArray(),
                       as(key_cache, ml::MultiArrayDataType::float16),
                       as(value_cache, ml::MultiArrayDataType::float16),
                       as(kv_cache_update_mask, ml::MultiArrayDataType::int32),
                       as(encoder_output_embeds, ml::MultiArrayDataType::float16),
                       as(decoder_key_padding_mask, ml::MultiArrayDataType::float16)) {}

std::set<std::string> TextDecoderInput::featureNames() const {
    return detail::names({{"input_ids", &input_ids},
                          {"cache_length", &cache_length},
                          {"key_cache", &key_cache},
                          {"value_cache", &value_cache},
                          {"kv_cache_update_mask", &kv_cache_update_mask},
                          {"encoder_output_embeds", &encoder_output_embeds},
                          {"decoder_key_padding_mask", &decoder_key_padding_mask}});
}

std::optional<ml::FeatureValue> TextDecoderInput::featureValue(std::string_view name) const {
    return detail::lookUp({{"input_ids", &input_ids},
                           {"cache_length", &cache_length},
                           {"key_cache", &key_cache},
                           {"value_cache", &value_cache},
                           {"kv_cache_update_mask", &kv_cache_update_mask},
                           {"encoder_output_embeds", &encoder_output_embeds},
                           {"decoder_key_padding_mask", &decoder_key_padding_mask}},
                          name);
}

TextDecoderOutput::TextDecoderOutput(ml::MultiArray logits, ml::MultiArray key_cache_updates,
                                     ml::MultiArray value_cache_updates)
    : ModelStageOutput(detail::dictionaryOf({{"logits", logits},
                                             {"key_cache_updates", key_cache_updates},
                                             {"value_cache_updates", value_cache_updates}})) {}

std::optional<ml::ShapedArray<ml::Float16>> TextDecoderOutput::alignment_heads_weightsShapedArray()
    const {
    if (auto weights = alignment_heads_weights())
        return ml::ShapedArray<ml::Float16>(*weights);
    return std::nullopt;
}

}  // namespace rararozuvu
