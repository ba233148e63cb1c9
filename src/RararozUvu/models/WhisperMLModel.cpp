#include "rararozuvu/models/WhisperMLModel.h"

namespace rararozuvu {

void WhisperMLModel::loadModel(const std::filesystem::path& url, ml::ComputeUnits computeUnits,
                               bool prewarmMode) {
    auto loaded = ml::Model::load(url, ml::ModelConfiguration{computeUnits});
    model_ = prewarmMode ? nullptr : std::move(loaded);
}

}  // namespace rararozuvu
