#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "ml/Float16.h"
#include "ml/Safetensors.h"
#include "ml/whisper/WhisperHyperParameters.h"

namespace ml::whisper {

// The Whisper audio encoder: two convolutions with GELU (the second with stride 2), learned
// positions, pre-norm transformer blocks, and a final layer norm. Every matrix product runs
// through BLAS in float; each weight matrix is widened to float just before its product.
//
// Weights use the standard checkpoint names, "model.encoder.conv1.weight" through
// "model.encoder.layer_norm.bias", in F16, BF16 or F32. Given an owner of the tensors' bytes, the
// kernel reads half-precision matrices where they lie; without one it copies what it needs, so
// the tensors (and the file they point into) may go away after construction.
//
// encode() is const and may run on several threads at once.
class EncoderKernel {
public:
    // Throws WhisperKernelError when a tensor is missing or its shape does not fit `params`.
    // `weightsOwner`, when given, keeps the tensors' bytes valid for the kernel's lifetime (the
    // mapped file they point into).
    EncoderKernel(const WhisperHyperParameters& params, std::span<const SafetensorsTensor> weights,
                  std::shared_ptr<const void> weightsOwner = nullptr);
    EncoderKernel(EncoderKernel&&) noexcept;
    EncoderKernel& operator=(EncoderKernel&&) noexcept;
    ~EncoderKernel();

    const WhisperHyperParameters& hyperParameters() const;
    // Mel frames read per window: 2 × max_source_positions (3000).
    std::size_t inputFrames() const;
    // Encoder frames written per window: max_source_positions (1500).
    std::size_t outputFrames() const;

    // mel: numMelBins × inputFrames() floats, band-major (band m, frame t at m · 3000 + t): the
    // layout of "melspectrogram_features" [1, numMelBins, 1, 3000] in Float32.
    // out: dModel × outputFrames() halves, channel-major (channel c, frame t at c · 1500 + t): the
    // layout of "encoder_output_embeds" [1, dModel, 1, 1500] in Float16.
    // Throws WhisperKernelError when a span has the wrong size.
    void encode(std::span<const float> mel, std::span<Float16> out) const;

    // Floating-point operations of one encode() (multiply and add counted apart).
    double flopsPerWindow() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ml::whisper
