#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "ml/FeatureProvider.h"
#include "ml/ShapedArray.h"

namespace rararozuvu {

// The outputs of one stage's prediction: the feature provider the model returned, answered by
// name here and read through typed getters by the classes of each model.
class ModelStageOutput : public ml::FeatureProvider {
public:
    explicit ModelStageOutput(std::shared_ptr<const ml::FeatureProvider> provider)
        : provider(std::move(provider)) {}

    std::set<std::string> featureNames() const override { return provider->featureNames(); }
    std::optional<ml::FeatureValue> featureValue(std::string_view name) const override {
        return provider->featureValue(name);
    }

    std::shared_ptr<const ml::FeatureProvider> provider;

protected:
    // A feature the model always gives; throws ml::ModelError naming it when it is missing.
    ml::MultiArray required(std::string_view name) const;
    ml::ShapedArray<ml::Float16> requiredHalves(std::string_view name) const {
        return ml::ShapedArray<ml::Float16>(required(name));
    }
};

}  // namespace rararozuvu
