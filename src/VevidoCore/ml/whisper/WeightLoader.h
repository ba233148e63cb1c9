#pragma once

// Looks up checkpoint tensors by name and hands them to the kernels, checking each shape against
// what the hyper-parameters promise. Half-precision tensors are read where they lie (the file's
// mapping) when the caller keeps the file alive; everything else is copied into the kernel.

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

// One weight tensor as a kernel reads it: half-precision elements, either in place in a mapped
// file or in a buffer of its own, or (for a float or bfloat16 source whose exact values a kernel
// wants) widened floats of its own. Moving keeps the elements where they are.
class Weights {
public:
    Weights() = default;
    Weights(Weights&&) noexcept = default;
    Weights& operator=(Weights&&) noexcept = default;
    Weights(const Weights&) = delete;
    Weights& operator=(const Weights&) = delete;

    static Weights inPlace(std::span<const Float16> halves);
    static Weights owned(std::vector<Float16> halves);
    static Weights owned(std::vector<float> floats);

    std::size_t size() const { return size_; }
    // The half-precision elements; null for widened floats.
    const Float16* data() const { return halves_; }
    // The elements first .. first + count as floats (exact in both precisions).
    void widen(std::size_t first, std::size_t count, float* out) const;
    // Bytes this object holds itself (not counting a mapped file's).
    std::size_t ownedBytes() const;

private:
    std::vector<Float16> ownedHalves_;
    std::vector<float> ownedFloats_;
    const Float16* halves_ = nullptr;
    std::size_t size_ = 0;
};

// A layer norm's scale and shift, each [d].
struct Norm {
    std::vector<float> gamma, beta;
};

// A layer's feed-forward block: fc1 [ffn × d] and fc2 [d × ffn] with their biases.
struct FeedForward {
    Weights fc1;
    std::vector<float> fc1Bias;
    Weights fc2;
    std::vector<float> fc2Bias;
};

class WeightLoader {
public:
    // `inPlace`: whether half-precision tensors may be referenced rather than copied (the caller
    // keeps their bytes alive as long as the kernel lives).
    explicit WeightLoader(std::span<const SafetensorsTensor> tensors, bool inPlace = false);

    // Throws WhisperKernelError when the tensor is missing, has another shape, or a dtype other
    // than F16, BF16 or F32.
    const SafetensorsTensor& find(std::string_view name,
                                  std::initializer_list<std::size_t> shape) const;
    std::vector<float> floats(std::string_view name,
                              std::initializer_list<std::size_t> shape) const;
    std::vector<Float16> halves(std::string_view name,
                                std::initializer_list<std::size_t> shape) const;
    // Half precision (a float or bfloat16 source rounded to it, as halves() does).
    Weights halfWeights(std::string_view name, std::initializer_list<std::size_t> shape) const;
    // In the source's own precision: half precision stays half, float and bfloat16 are widened
    // to exact floats.
    Weights exactWeights(std::string_view name, std::initializer_list<std::size_t> shape) const;
    // Tensors of one shape stacked into one half-precision matrix, in the order given: in place
    // when the file holds them back to back in that order, else copied together.
    Weights stackedHalfWeights(std::initializer_list<std::string_view> names,
                               std::initializer_list<std::size_t> shape) const;
    // "<prefix>weight" and "<prefix>bias".
    Norm norm(const std::string& prefix, std::size_t d) const;
    // An attention's q, k and v biases as one [3d] vector: "<prefix>q_proj.bias" times `qScale`,
    // zeros (the key projection has no bias), "<prefix>v_proj.bias".
    std::vector<float> qkvBias(const std::string& prefix, std::size_t d, float qScale) const;
    // "<prefix>fc1.*" and "<prefix>fc2.*", the matrices in half precision or else in the
    // source's own (as halfWeights() and exactWeights() give them).
    FeedForward feedForward(const std::string& prefix, std::size_t d, std::size_t ffn,
                            bool half) const;
    // Whether a tensor of that name exists (for optional biases).
    bool contains(std::string_view name) const;

private:
    // The tensor's elements where they lie, when they may be read in place.
    std::span<const Float16> mappedHalves(const SafetensorsTensor& t) const;

    std::map<std::string, const SafetensorsTensor*, std::less<>> byName_;
    bool inPlace_;
};

}  // namespace ml::whisper
