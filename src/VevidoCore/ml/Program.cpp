#include "ml/Program.h"

#include <fmt/format.h>

#include "ml/ModelError.h"

namespace ml {

namespace {

std::string describe(const FeatureDescription& f) {
    std::string text = fmt::format("\"{}\" ({}", f.name, featureTypeName(f.type));
    if (f.multiArrayConstraint) {
        text += fmt::format(" {} {}", dataTypeName(f.multiArrayConstraint->dataType),
                            shapeText(f.multiArrayConstraint->shape));
    }
    if (f.isOptional)
        text += ", optional";
    return text + ")";
}

std::string describe(std::span<const FeatureDescription> features) {
    std::string text;
    for (const auto& f : features)
        text += (text.empty() ? "" : ", ") + describe(f);
    return "[" + text + "]";
}

}  // namespace

const SafetensorsTensor& ProgramContext::weight(std::string_view name, SafetensorsDType dtype,
                                                std::span<const std::int64_t> shape) const {
    if (!weights) {
        throw ModelError(
            ModelError::Case::io,
            fmt::format("{}: the model has no weights but needs \"{}\"", folder.string(), name));
    }
    const SafetensorsTensor* t = weights->find(name);
    if (t == nullptr) {
        throw ModelError(ModelError::Case::io, fmt::format("{}: the weights lack the tensor \"{}\"",
                                                           weights->path().string(), name));
    }
    if (t->dtype != dtype ||
        !std::equal(t->shape.begin(), t->shape.end(), shape.begin(), shape.end())) {
        throw ModelError(ModelError::Case::io,
                         fmt::format("{}: tensor \"{}\" is {} {}; the model needs {} {}",
                                     weights->path().string(), name, dtypeName(t->dtype),
                                     shapeText(t->shape), dtypeName(dtype), shapeText(shape)));
    }
    return *t;
}

void ProgramContext::expectFeatures(std::span<const FeatureDescription> inputs,
                                    std::span<const FeatureDescription> outputs) const {
    const auto same = [](std::span<const FeatureDescription> a,
                         const std::vector<FeatureDescription>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    };
    if (!same(inputs, bundle.description.inputs)) {
        throw ModelError(ModelError::Case::io,
                         fmt::format("{}: a \"{}\" model with these settings takes the inputs {}, "
                                     "but the description declares {}",
                                     folder.string(), bundle.program, describe(inputs),
                                     describe(bundle.description.inputs)));
    }
    if (!same(outputs, bundle.description.outputs)) {
        throw ModelError(ModelError::Case::io,
                         fmt::format("{}: a \"{}\" model with these settings gives the outputs {}, "
                                     "but the description declares {}",
                                     folder.string(), bundle.program, describe(outputs),
                                     describe(bundle.description.outputs)));
    }
}

MultiArray Program::input(const FeatureProvider& inputs, std::string_view name) {
    if (auto array = inputs.multiArray(name))
        return *std::move(array);
    throw ModelError(
        ModelError::Case::generic,
        fmt::format("a program read the input \"{}\", which its model does not declare", name));
}

void ProgramRegistry::add(std::string kind, ProgramFactory factory) {
    std::lock_guard lock(mutex_);
    factories_.insert_or_assign(std::move(kind), std::move(factory));
}

void ProgramRegistry::remove(std::string_view kind) {
    std::lock_guard lock(mutex_);
    if (const auto it = factories_.find(kind); it != factories_.end())
        factories_.erase(it);
}

std::optional<ProgramFactory> ProgramRegistry::factory(std::string_view kind) const {
    std::lock_guard lock(mutex_);
    const auto it = factories_.find(kind);
    if (it == factories_.end())
        return std::nullopt;
    return it->second;
}

}  // namespace ml
