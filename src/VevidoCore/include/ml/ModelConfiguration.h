#pragma once

#include "ml/ComputeUnits.h"

namespace ml {

// How a model is loaded.
struct ModelConfiguration {
    ComputeUnits computeUnits = ComputeUnits::all;
};

// How one prediction runs. Nothing is adjustable yet; callers pass the default.
struct PredictionOptions {};

}  // namespace ml
