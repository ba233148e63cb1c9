#include "ml/ModelDescription.h"

#include <algorithm>

namespace ml {

namespace {

const FeatureDescription* find(const std::vector<FeatureDescription>& features,
                               std::string_view name) {
    const auto it = std::find_if(features.begin(), features.end(),
                                 [name](const FeatureDescription& f) { return f.name == name; });
    return it == features.end() ? nullptr : &*it;
}

}  // namespace

FeatureDescription multiArrayFeature(std::string name, MultiArrayDataType dataType,
                                     std::vector<std::int64_t> shape, bool isOptional) {
    return FeatureDescription{std::move(name), FeatureType::multiArray, isOptional,
                              MultiArrayConstraint{std::move(shape), dataType}};
}

const FeatureDescription* ModelDescription::input(std::string_view name) const {
    return find(inputs, name);
}

const FeatureDescription* ModelDescription::output(std::string_view name) const {
    return find(outputs, name);
}

}  // namespace ml
