#pragma once

// The features of the "MelSpectrogram" model: a window of samples in, log-mel features out.

#include <memory>

#include "ml/FeatureProvider.h"
#include "ml/MultiArray.h"
#include "ml/ShapedArray.h"
#include "rararozuvu/models/ModelStageOutput.h"

namespace rararozuvu {

class MelSpectrogramInput : public ml::FeatureProvider {
public:
    explicit MelSpectrogramInput(ml::MultiArray audio) : audio(std::move(audio)) {}
    explicit MelSpectrogramInput(const ml::ShapedArray<float>& audio) : audio(audio.multiArray()) {}

    std::set<std::string> featureNames() const override;
    std::optional<ml::FeatureValue> featureValue(std::string_view name) const override;

    ml::MultiArray audio;  // "audio"
};

class MelSpectrogramOutput : public ModelStageOutput {
public:
    using ModelStageOutput::ModelStageOutput;
    explicit MelSpectrogramOutput(ml::MultiArray melspectrogram_features);

    // "melspectrogram_features"
    ml::MultiArray melspectrogramFeatures() const { return required("melspectrogram_features"); }
    ml::ShapedArray<ml::Float16> melspectrogram_featuresShapedArray() const {
        return requiredHalves("melspectrogram_features");
    }
};

}  // namespace rararozuvu
