#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ml/FeatureValue.h"
#include "ml/MultiArray.h"

namespace ml {

// The exact shape and element type a multi-array feature must have.
struct MultiArrayConstraint {
    std::vector<std::int64_t> shape;
    MultiArrayDataType dataType = MultiArrayDataType::float32;

    friend bool operator==(const MultiArrayConstraint&, const MultiArrayConstraint&) = default;
};

struct FeatureDescription {
    std::string name;
    FeatureType type = FeatureType::invalid;
    // An optional input may be left out of a prediction; an optional output may be missing.
    bool isOptional = false;
    // Present for multi-array features.
    std::optional<MultiArrayConstraint> multiArrayConstraint;

    friend bool operator==(const FeatureDescription&, const FeatureDescription&) = default;
};

// The description of a multi-array feature of exactly this shape and element type.
FeatureDescription multiArrayFeature(std::string name, MultiArrayDataType dataType,
                                     std::vector<std::int64_t> shape, bool isOptional = false);

// What a loaded model takes and gives, in the order its bundle declares them, with the bundle's
// free-form metadata.
struct ModelDescription {
    std::vector<FeatureDescription> inputs;
    std::vector<FeatureDescription> outputs;
    std::map<std::string, std::string> metadata;

    // nullptr when there is no feature of that name.
    const FeatureDescription* input(std::string_view name) const;
    const FeatureDescription* output(std::string_view name) const;
};

}  // namespace ml
