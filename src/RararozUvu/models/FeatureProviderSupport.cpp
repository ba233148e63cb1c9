#include "FeatureProviderSupport.h"

#include "ml/ModelError.h"

namespace rararozuvu::detail {

ml::MultiArray requireOutput(const ml::FeatureProvider& provider, std::string_view name) {
    if (auto array = provider.multiArray(name))
        return *std::move(array);
    throw ml::ModelError(ml::ModelError::Case::featureType,
                         "the prediction has no multi-array \"" + std::string(name) + "\"");
}

std::shared_ptr<const ml::FeatureProvider> dictionaryOf(
    std::initializer_list<std::pair<std::string, ml::MultiArray>> features) {
    auto provider = std::make_shared<ml::DictionaryFeatureProvider>();
    for (const auto& [name, array] : features)
        provider->set(name, array);
    return provider;
}

}  // namespace rararozuvu::detail
