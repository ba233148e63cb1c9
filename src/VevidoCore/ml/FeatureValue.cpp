#include "ml/FeatureValue.h"

#include <array>
#include <utility>

namespace ml {

namespace {

constexpr std::array<std::pair<FeatureType, std::string_view>, 8> kNames{{
    {FeatureType::int64, "int64"},
    {FeatureType::double_, "double"},
    {FeatureType::string, "string"},
    {FeatureType::image, "image"},
    {FeatureType::multiArray, "multiArray"},
    {FeatureType::dictionary, "dictionary"},
    {FeatureType::sequence, "sequence"},
    {FeatureType::state, "state"},
}};

template <class T>
std::optional<T> alternative(const auto& variant) {
    if (const T* v = std::get_if<T>(&variant))
        return *v;
    return std::nullopt;
}

}  // namespace

std::string_view featureTypeName(FeatureType type) {
    for (const auto& [t, name] : kNames) {
        if (t == type)
            return name;
    }
    return "invalid";
}

std::optional<FeatureType> featureTypeNamed(std::string_view name) {
    for (const auto& [t, n] : kNames) {
        if (n == name)
            return t;
    }
    return std::nullopt;
}

FeatureType FeatureValue::type() const {
    switch (value_.index()) {
        case 0:
            return FeatureType::int64;
        case 1:
            return FeatureType::double_;
        case 2:
            return FeatureType::string;
        default:
            return FeatureType::multiArray;
    }
}

std::optional<MultiArray> FeatureValue::multiArrayValue() const {
    return alternative<MultiArray>(value_);
}
std::optional<std::int64_t> FeatureValue::int64Value() const {
    return alternative<std::int64_t>(value_);
}
std::optional<double> FeatureValue::doubleValue() const {
    return alternative<double>(value_);
}
std::optional<std::string> FeatureValue::stringValue() const {
    return alternative<std::string>(value_);
}

}  // namespace ml
