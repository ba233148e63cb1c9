#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "ml/FeatureValue.h"

namespace ml {

// Named feature values: what a prediction reads its inputs from and hands its outputs in.
class FeatureProvider {
public:
    virtual ~FeatureProvider() = default;
    virtual std::set<std::string> featureNames() const = 0;
    // Absent for a name the provider does not have.
    virtual std::optional<FeatureValue> featureValue(std::string_view name) const = 0;

    // The named feature when it is a multi-array; absent otherwise.
    std::optional<MultiArray> multiArray(std::string_view name) const {
        const auto value = featureValue(name);
        return value ? value->multiArrayValue() : std::nullopt;
    }
};

// A feature provider over a map of values.
class DictionaryFeatureProvider : public FeatureProvider {
public:
    DictionaryFeatureProvider() = default;
    explicit DictionaryFeatureProvider(std::map<std::string, FeatureValue, std::less<>> features)
        : features_(std::move(features)) {}

    std::set<std::string> featureNames() const override;
    std::optional<FeatureValue> featureValue(std::string_view name) const override;

    // Adds the value, replacing any of the same name.
    void set(std::string name, FeatureValue value);
    const std::map<std::string, FeatureValue, std::less<>>& dictionary() const { return features_; }

private:
    std::map<std::string, FeatureValue, std::less<>> features_;
};

}  // namespace ml
