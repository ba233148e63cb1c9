#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "ml/FeatureProvider.h"
#include "ml/HyperParameters.h"
#include "ml/ModelConfiguration.h"
#include "ml/ModelDescription.h"

namespace ml {

class Program;

// A loaded model: a compiled model folder (see ModelBundle for its layout) bound to the program
// kind it names. Immutable after loading; predictions may run from several threads at once.
class Model {
public:
    // Loads the folder. Throws ModelError (io) when the folder or its description is missing or
    // malformed, the program kind is unknown, or the weights are unreadable, truncated or do not
    // fit the program.
    static std::shared_ptr<Model> load(const std::filesystem::path& url,
                                       const ModelConfiguration& configuration = {});

    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;
    ~Model();

    const ModelDescription& modelDescription() const { return description_; }
    const ModelConfiguration& configuration() const { return configuration_; }
    const std::string& programKind() const { return programKind_; }
    const HyperParameters& hyperParameters() const { return hyperParameters_; }
    const std::filesystem::path& url() const { return url_; }

    // Runs the model. Every input the description declares must be there (unless optional) with
    // its type, element type and shape; inputs it does not declare are ignored. A mismatch throws
    // ModelError (featureType) naming the model and the feature before anything runs.
    std::shared_ptr<const FeatureProvider> predict(const FeatureProvider& input,
                                                   const PredictionOptions& options = {}) const;

private:
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    explicit Model(Passkey);

private:
    void validateInputs(const FeatureProvider& input) const;
    void validateOutputs(const FeatureProvider& output) const;
    std::string name() const;

    std::filesystem::path url_;
    ModelConfiguration configuration_;
    std::string programKind_;
    HyperParameters hyperParameters_;
    ModelDescription description_;
    std::unique_ptr<Program> program_;
};

}  // namespace ml
