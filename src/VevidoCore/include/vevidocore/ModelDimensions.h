#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace ml {
class Model;
}

namespace vevidocore {

// The size of one dimension of a loaded model's feature, read from its description. These are
// operations of ModelUtilities (which inherits them); they sit apart from its file lookups so that
// those need nothing of the model runtime.
struct ModelDimensions {
    // Dimension `position` of the shape of the input (output) named `name`. Absent without a
    // model, without a feature of that name, for a feature that is not a multi-array or has no
    // multi-array constraint, and for a position outside the shape.
    static std::optional<std::int64_t> getModelInputDimension(const ml::Model* model,
                                                              std::string_view name, int position);
    static std::optional<std::int64_t> getModelOutputDimension(const ml::Model* model,
                                                               std::string_view name, int position);

    // The same queries under the names older callers use.
    static std::optional<std::int64_t> getModelInputDimention(const ml::Model* model,
                                                              std::string_view name, int position) {
        return getModelInputDimension(model, name, position);
    }
    static std::optional<std::int64_t> getModelOutputDimention(const ml::Model* model,
                                                               std::string_view name,
                                                               int position) {
        return getModelOutputDimension(model, name, position);
    }
};

}  // namespace vevidocore
