#include "ml/FeatureProvider.h"

namespace ml {

std::set<std::string> DictionaryFeatureProvider::featureNames() const {
    std::set<std::string> names;
    for (const auto& [name, value] : features_)
        names.insert(name);
    return names;
}

std::optional<FeatureValue> DictionaryFeatureProvider::featureValue(std::string_view name) const {
    const auto it = features_.find(name);
    if (it == features_.end())
        return std::nullopt;
    return it->second;
}

void DictionaryFeatureProvider::set(std::string name, FeatureValue value) {
    features_.insert_or_assign(std::move(name), std::move(value));
}

}  // namespace ml
