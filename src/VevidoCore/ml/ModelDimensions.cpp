#include "vevidocore/ModelDimensions.h"

#include "ml/Model.h"

namespace vevidocore {

namespace {

std::optional<std::int64_t> dimension(const ml::FeatureDescription* feature, int position) {
    if (feature == nullptr || feature->type != ml::FeatureType::multiArray ||
        !feature->multiArrayConstraint) {
        return std::nullopt;
    }
    const auto& shape = feature->multiArrayConstraint->shape;
    if (position < 0 || static_cast<std::size_t>(position) >= shape.size())
        return std::nullopt;
    return shape[static_cast<std::size_t>(position)];
}

}  // namespace

std::optional<std::int64_t> ModelDimensions::getModelInputDimension(const ml::Model* model,
                                                                    std::string_view name,
                                                                    int position) {
    if (model == nullptr)
        return std::nullopt;
    return dimension(model->modelDescription().input(name), position);
}

std::optional<std::int64_t> ModelDimensions::getModelOutputDimension(const ml::Model* model,
                                                                     std::string_view name,
                                                                     int position) {
    if (model == nullptr)
        return std::nullopt;
    return dimension(model->modelDescription().output(name), position);
}

}  // namespace vevidocore
