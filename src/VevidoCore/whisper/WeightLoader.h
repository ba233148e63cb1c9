#pragma once

// Looks up checkpoint tensors by name and widens or copies them into the kernels' own buffers,
// checking each shape against what the hyper-parameters promise.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ml/Float16.h"
#include "ml/Safetensors.h"

namespace ml::whisper {

class WeightLoader {
public:
    explicit WeightLoader(std::span<const SafetensorsTensor> tensors);

    // Throws WhisperKernelError when the tensor is missing, has another shape, or a dtype other
    // than F16, BF16 or F32.
    const SafetensorsTensor& find(std::string_view name,
                                  std::initializer_list<std::size_t> shape) const;
    std::vector<float> floats(std::string_view name,
                              std::initializer_list<std::size_t> shape) const;
    std::vector<Float16> halves(std::string_view name,
                                std::initializer_list<std::size_t> shape) const;
    // Whether a tensor of that name exists (for optional biases).
    bool contains(std::string_view name) const;

private:
    std::map<std::string, const SafetensorsTensor*, std::less<>> byName_;
};

}  // namespace ml::whisper
