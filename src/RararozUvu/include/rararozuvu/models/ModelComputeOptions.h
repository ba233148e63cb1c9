#pragma once

#include <optional>

#include "ml/ComputeUnits.h"

namespace rararozuvu {

// The compute units each model stage is loaded with. Every stage runs on the CPU here; the choice
// is kept and handed to the stages so that callers can pass theirs through unchanged.
struct ModelComputeOptions {
    ml::ComputeUnits melCompute = ml::ComputeUnits::cpuAndGPU;
    ml::ComputeUnits audioEncoderCompute = defaultAudioEncoderCompute();
    ml::ComputeUnits textDecoderCompute = ml::ComputeUnits::cpuAndNeuralEngine;
    ml::ComputeUnits prefillCompute = ml::ComputeUnits::cpuOnly;

    ModelComputeOptions() = default;
    // An absent encoder choice takes the default of the running system.
    ModelComputeOptions(ml::ComputeUnits melCompute,
                        std::optional<ml::ComputeUnits> audioEncoderCompute,
                        ml::ComputeUnits textDecoderCompute, ml::ComputeUnits prefillCompute)
        : melCompute(melCompute),
          audioEncoderCompute(audioEncoderCompute.value_or(defaultAudioEncoderCompute())),
          textDecoderCompute(textDecoderCompute),
          prefillCompute(prefillCompute) {}

    // The encoder's choice on systems with the current model runtime, which every system this
    // library runs on has.
    static constexpr ml::ComputeUnits defaultAudioEncoderCompute() {
        return ml::ComputeUnits::cpuAndNeuralEngine;
    }
};

}  // namespace rararozuvu
