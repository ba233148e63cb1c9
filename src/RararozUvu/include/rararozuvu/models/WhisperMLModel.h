#pragma once

#include <filesystem>
#include <memory>

#include "ml/ComputeUnits.h"
#include "ml/Model.h"
#include "vevidocore/ModelState.h"

namespace rararozuvu {

// A pipeline stage that owns one loaded model. Stages take no lock: the facade orders loading,
// use and unloading. A prediction holds its own reference to the model, so unloading while one
// runs does not pull the model from under it.
class WhisperMLModel {
public:
    virtual ~WhisperMLModel() = default;

    // The loaded model; empty until loaded.
    const std::shared_ptr<ml::Model>& model() const { return model_; }
    void setModel(std::shared_ptr<ml::Model> model) { model_ = std::move(model); }

    // Loads the compiled model at `url` with the compute units. A failed load throws the
    // runtime's error and leaves the stage as it was. A prewarm load only proves the model loads:
    // it leaves the stage unloaded and releases what it loaded.
    virtual void loadModel(const std::filesystem::path& url, ml::ComputeUnits computeUnits,
                           bool prewarmMode = false);
    virtual void unloadModel() { model_.reset(); }

    // loaded when a model is held, else unloaded.
    vevidocore::ModelState modelState() const {
        return model_ ? vevidocore::ModelState::loaded : vevidocore::ModelState::unloaded;
    }

private:
    std::shared_ptr<ml::Model> model_;
};

}  // namespace rararozuvu
