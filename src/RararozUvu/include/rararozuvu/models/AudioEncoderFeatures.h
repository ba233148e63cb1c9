#pragma once

// The features of the "AudioEncoder" model: log-mel features in, encoder embeddings out.

#include "ml/FeatureProvider.h"
#include "ml/MultiArray.h"
#include "ml/ShapedArray.h"
#include "rararozuvu/models/ModelStageOutput.h"

namespace rararozuvu {

class AudioEncoderInput : public ml::FeatureProvider {
public:
    explicit AudioEncoderInput(ml::MultiArray melspectrogram_features)
        : melspectrogram_features(std::move(melspectrogram_features)) {}
    explicit AudioEncoderInput(const ml::ShapedArray<float>& melspectrogram_features)
        : melspectrogram_features(melspectrogram_features.multiArray()) {}

    std::set<std::string> featureNames() const override;
    std::optional<ml::FeatureValue> featureValue(std::string_view name) const override;

    ml::MultiArray melspectrogram_features;
};

class AudioEncoderOutput : public ModelStageOutput {
public:
    using ModelStageOutput::ModelStageOutput;
    explicit AudioEncoderOutput(ml::MultiArray encoder_output_embeds);

    ml::MultiArray encoder_output_embeds() const { return required("encoder_output_embeds"); }
    ml::ShapedArray<ml::Float16> encoder_output_embedsShapedArray() const {
        return requiredHalves("encoder_output_embeds");
    }
};

}  // namespace rararozuvu
