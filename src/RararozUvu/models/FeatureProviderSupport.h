#pragma once

// What the stages' typed feature providers share: answering by name from a fixed list of arrays,
// and reading required outputs.

#include <initializer_list>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "ml/FeatureProvider.h"
#include "ml/MultiArray.h"

namespace rararozuvu::detail {

using NamedArray = std::pair<std::string_view, const ml::MultiArray*>;

inline std::set<std::string> names(std::initializer_list<NamedArray> features) {
    std::set<std::string> out;
    for (const auto& [name, array] : features)
        out.emplace(name);
    return out;
}

inline std::optional<ml::FeatureValue> lookUp(std::initializer_list<NamedArray> features,
                                              std::string_view name) {
    for (const auto& [n, array] : features) {
        if (n == name)
            return ml::FeatureValue(*array);
    }
    return std::nullopt;
}

// A required output of a prediction; throws ml::ModelError naming it when the model gave none.
ml::MultiArray requireOutput(const ml::FeatureProvider& provider, std::string_view name);

std::shared_ptr<const ml::FeatureProvider> dictionaryOf(
    std::initializer_list<std::pair<std::string, ml::MultiArray>> features);

}  // namespace rararozuvu::detail
