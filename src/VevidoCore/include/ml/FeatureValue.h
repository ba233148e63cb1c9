#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "ml/MultiArray.h"

namespace ml {

// Kinds of model features, with the codes model descriptions and callers use.
enum class FeatureType : std::int32_t {
    invalid = 0,
    int64 = 1,
    double_ = 2,
    string = 3,
    image = 4,
    multiArray = 5,
    dictionary = 6,
    sequence = 7,
    state = 8,
};

// "int64", "double", "string", "image", "multiArray", "dictionary", "sequence", "state".
std::string_view featureTypeName(FeatureType type);
std::optional<FeatureType> featureTypeNamed(std::string_view name);

// One input or output value of a model. A multi-array value shares the array's buffer.
class FeatureValue {
public:
    FeatureValue(MultiArray array)
        : value_(std::in_place_type<MultiArray>, std::move(array)) {
    }  // NOLINT: a value of any kind
    static FeatureValue int64(std::int64_t v) {
        return FeatureValue(std::in_place_type<std::int64_t>, v);
    }
    static FeatureValue double_(double v) { return FeatureValue(std::in_place_type<double>, v); }
    static FeatureValue string(std::string v) {
        return FeatureValue(std::in_place_type<std::string>, std::move(v));
    }

    FeatureType type() const;
    // Absent when the value is of another kind.
    std::optional<MultiArray> multiArrayValue() const;
    std::optional<std::int64_t> int64Value() const;
    std::optional<double> doubleValue() const;
    std::optional<std::string> stringValue() const;

private:
    using Storage = std::variant<std::int64_t, double, std::string, MultiArray>;
    template <class T>
    FeatureValue(std::in_place_type_t<T> type, T v) : value_(type, std::move(v)) {}

    Storage value_;
};

}  // namespace ml
