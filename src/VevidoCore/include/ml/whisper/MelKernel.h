#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace ml::whisper {

// The log-mel front end real Whisper checkpoints were trained with: periodic Hann window of 400
// samples, hop 160, centred frames with reflect padding, power spectrum, Slaney mel filters from
// 0 to 8000 Hz with Slaney area normalisation, log10 clamped at 1e-10, floored at (maximum − 8),
// then (x + 4) / 4. The last STFT frame is dropped, so one window gives exactly 3000 frames.
//
// Stateless after construction; compute() may run on several threads at once.
class MelKernel {
public:
    static constexpr std::size_t kWindowSamples = 480000;  // 30 s at 16 kHz
    static constexpr std::size_t kFrames = 3000;
    static constexpr std::size_t kFftSize = 400;
    static constexpr std::size_t kHopLength = 160;
    static constexpr std::size_t kBins = kFftSize / 2 + 1;

    // Throws WhisperKernelError when melCount is 0 or too large for the 201 frequency bins.
    explicit MelKernel(std::size_t melCount);

    std::size_t melCount() const { return melCount_; }

    // samples: kWindowSamples floats of 16 kHz mono audio (the "audio" input, shape [480000]).
    // out: melCount × kFrames floats, band-major: band m, frame t at m · 3000 + t; this is the
    // contiguous layout of "melspectrogram_features" [1, melCount, 1, 3000] in Float32.
    // Throws WhisperKernelError when either span has the wrong size.
    void compute(std::span<const float> samples, std::span<float> out) const;

    // The filter bank, melCount × kBins, row-major (exposed for inspection by tests and tools).
    const std::vector<float>& filters() const { return filters_; }

private:
    std::size_t melCount_;
    std::vector<float> window_;
    std::vector<float> filters_;
    // Per band, the first and one-past-last frequency bin with a non-zero weight.
    std::vector<std::size_t> firstBin_, endBin_;
};

}  // namespace ml::whisper
