#include "rararozuvu/models/TextDecoderCachePrefillFeatures.h"

#include "FeatureProviderSupport.h"

namespace rararozuvu {

std::set<std::string> TextDecoderCachePrefillInput::featureNames() const {
    return detail::names({{"task", &task}, {"language", &language}});
}

std::optional<ml::FeatureValue> TextDecoderCachePrefillInput::featureValue(
    std::string_view name) const {
    return detail::lookUp({{"task", &task}, {"language", &language}}, name);
}

TextDecoderCachePrefillOutput::TextDecoderCachePrefillOutput(ml::MultiArray key_cache_prefill,
                                                             ml::MultiArray value_cache_prefill)
    : ModelStageOutput(detail::dictionaryOf({{"key_cache_prefill", key_cache_prefill},
                                             {"value_cache_prefill", value_cache_prefill}})) {}

}  // namespace rararozuvu
