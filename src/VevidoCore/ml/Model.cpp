#include "ml/Model.h"

#include <fmt/format.h>

#include "ml/ModelBundle.h"
#include "ml/ModelError.h"
#include "ml/Program.h"
#include "ml/Safetensors.h"

namespace ml {

namespace {

// What is wrong with `value` as a feature of this description, or nothing.
std::optional<std::string> mismatch(const FeatureDescription& d, const FeatureValue& value) {
    if (value.type() != d.type) {
        return fmt::format("is {}; expected {}", featureTypeName(value.type()),
                           featureTypeName(d.type));
    }
    if (!d.multiArrayConstraint)
        return std::nullopt;
    const MultiArray array = *value.multiArrayValue();
    const MultiArrayConstraint& c = *d.multiArrayConstraint;
    if (array.dataType() != c.dataType) {
        return fmt::format("is a {} multi-array; expected {}", dataTypeName(array.dataType()),
                           dataTypeName(c.dataType));
    }
    if (array.shape() != c.shape) {
        return fmt::format("has the shape {}; expected {}", shapeText(array.shape()),
                           shapeText(c.shape));
    }
    return std::nullopt;
}

}  // namespace

Model::Model(Passkey) {}
Model::~Model() = default;

std::shared_ptr<Model> Model::load(const std::filesystem::path& url,
                                   const ModelConfiguration& configuration) {
    ModelBundle bundle = ModelBundle::read(url);
    const auto factory = ProgramRegistry::shared().factory(bundle.program);
    if (!factory) {
        throw ModelError(ModelError::Case::io, fmt::format("{}: unknown program kind \"{}\"",
                                                           url.string(), bundle.program));
    }
    std::shared_ptr<const SafetensorsFile> weights;
    if (bundle.weights) {
        try {
            weights = std::make_shared<const SafetensorsFile>(url / *bundle.weights);
        } catch (const SafetensorsError& e) {
            throw ModelError(ModelError::Case::io, e.what());
        }
    }
    const ProgramContext context{url, bundle, std::move(weights), configuration};
    std::unique_ptr<Program> program;
    try {
        program = (*factory)(context);
    } catch (const SafetensorsError& e) {
        throw ModelError(ModelError::Case::io, e.what());
    }
    auto model = std::make_shared<Model>(Passkey{});
    model->url_ = url;
    model->configuration_ = configuration;
    model->programKind_ = std::move(bundle.program);
    model->hyperParameters_ = std::move(bundle.hyperParameters);
    model->description_ = std::move(bundle.description);
    model->program_ = std::move(program);
    return model;
}

std::shared_ptr<const FeatureProvider> Model::predict(const FeatureProvider& input,
                                                      const PredictionOptions&) const {
    validateInputs(input);
    auto output = std::make_shared<DictionaryFeatureProvider>(program_->predict(input));
    validateOutputs(*output);
    return output;
}

void Model::validateInputs(const FeatureProvider& input) const {
    for (const FeatureDescription& d : description_.inputs) {
        const auto value = input.featureValue(d.name);
        if (!value) {
            if (d.isOptional)
                continue;
            throw ModelError(
                ModelError::Case::featureType,
                fmt::format("model \"{}\": the input \"{}\" is missing", name(), d.name));
        }
        if (const auto problem = mismatch(d, *value)) {
            throw ModelError(
                ModelError::Case::featureType,
                fmt::format("model \"{}\": the input \"{}\" {}", name(), d.name, *problem));
        }
    }
}

void Model::validateOutputs(const FeatureProvider& output) const {
    for (const FeatureDescription& d : description_.outputs) {
        const auto value = output.featureValue(d.name);
        std::optional<std::string> problem;
        if (!value) {
            if (!d.isOptional)
                problem = "is missing";
        } else {
            problem = mismatch(d, *value);
        }
        if (problem) {
            throw ModelError(ModelError::Case::generic,
                             fmt::format("model \"{}\": the program's output \"{}\" {}", name(),
                                         d.name, *problem));
        }
    }
}

std::string Model::name() const {
    return url_.filename().empty() ? url_.parent_path().stem().string() : url_.stem().string();
}

}  // namespace ml
