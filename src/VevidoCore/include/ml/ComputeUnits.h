#pragma once

#include <string_view>

namespace ml {

// Which processors a model may run on. Every model here runs on the CPU whatever is chosen; the
// setting is kept and reported so that callers can pass their choice through unchanged.
enum class ComputeUnits : int {
    cpuOnly = 0,
    cpuAndGPU = 1,
    all = 2,
    cpuAndNeuralEngine = 3,
};

// "cpuOnly", "cpuAndGPU", "all", "cpuAndNeuralEngine"; "unknown" for any other value.
std::string_view description(ComputeUnits units);
// "CPU", "GPU", "All", "Neural Engine"; "Unknown" for any other value.
std::string_view displayName(ComputeUnits units);

}  // namespace ml
