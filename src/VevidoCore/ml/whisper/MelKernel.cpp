#include "ml/whisper/MelKernel.h"

#include <kiss_fftr.h>

#include <fmt/format.h>
#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "WorkerPool.h"
#include "ml/whisper/WhisperKernelError.h"

namespace ml::whisper {

namespace {

constexpr double kSampleRate = 16000.0;
constexpr double kMaxFrequency = 8000.0;
constexpr std::size_t kPad = MelKernel::kFftSize / 2;
constexpr std::size_t kFramesPerTask = 100;

// The Slaney mel scale: linear below 1 kHz, logarithmic above.
double hzToMel(double hz) {
    constexpr double kLinear = 200.0 / 3.0;
    if (hz < 1000.0)
        return hz / kLinear;
    return 15.0 + std::log(hz / 1000.0) / (std::log(6.4) / 27.0);
}

double melToHz(double mel) {
    constexpr double kLinear = 200.0 / 3.0;
    if (mel < 15.0)
        return mel * kLinear;
    return 1000.0 * std::exp((std::log(6.4) / 27.0) * (mel - 15.0));
}

}  // namespace

MelKernel::MelKernel(std::size_t melCount) : melCount_(melCount) {
    if (melCount == 0 || melCount > kBins) {
        throw WhisperKernelError(fmt::format("mel band count {} is out of range", melCount));
    }
    window_.resize(kFftSize);
    for (std::size_t n = 0; n < kFftSize; ++n) {
        window_[n] = static_cast<float>(
            0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(n) / kFftSize));
    }

    std::vector<double> edges(melCount + 2);
    const double melLow = hzToMel(0.0), melHigh = hzToMel(kMaxFrequency);
    for (std::size_t i = 0; i < edges.size(); ++i) {
        edges[i] = melToHz(melLow + (melHigh - melLow) * static_cast<double>(i) /
                                        static_cast<double>(melCount + 1));
    }
    filters_.assign(melCount * kBins, 0.0f);
    firstBin_.assign(melCount, kBins);
    endBin_.assign(melCount, 0);
    for (std::size_t m = 0; m < melCount; ++m) {
        const double area = 2.0 / (edges[m + 2] - edges[m]);
        for (std::size_t k = 0; k < kBins; ++k) {
            const double f = static_cast<double>(k) * kSampleRate / kFftSize;
            const double lower = (f - edges[m]) / (edges[m + 1] - edges[m]);
            const double upper = (edges[m + 2] - f) / (edges[m + 2] - edges[m + 1]);
            const double w = std::max(0.0, std::min(lower, upper)) * area;
            filters_[m * kBins + k] = static_cast<float>(w);
            if (w > 0) {
                firstBin_[m] = std::min(firstBin_[m], k);
                endBin_[m] = k + 1;
            }
        }
        if (endBin_[m] == 0)
            firstBin_[m] = 0;  // an empty band (only with very many bands)
    }
}

void MelKernel::compute(std::span<const float> samples, std::span<float> out) const {
    if (samples.size() != kWindowSamples) {
        throw WhisperKernelError(
            fmt::format("mel input has {} samples, expected {}", samples.size(), kWindowSamples));
    }
    if (out.size() != melCount_ * kFrames) {
        throw WhisperKernelError(fmt::format("mel output has {} elements, expected {}", out.size(),
                                             melCount_ * kFrames));
    }
    constexpr std::size_t kTasks = (kFrames + kFramesPerTask - 1) / kFramesPerTask;
    std::array<float, kTasks> blockMax{};
    const float* x = samples.data();
    float* mel = out.data();

    WorkerPool::shared().run(kTasks, [&](std::size_t task) {
        std::size_t configBytes = 0;
        kiss_fftr_alloc(static_cast<int>(kFftSize), 0, nullptr, &configBytes);
        std::vector<std::max_align_t> configMemory(configBytes / sizeof(std::max_align_t) + 1);
        const kiss_fftr_cfg fft =
            kiss_fftr_alloc(static_cast<int>(kFftSize), 0, configMemory.data(), &configBytes);
        std::array<float, kFftSize> frame;
        std::array<kiss_fft_cpx, kBins> spectrum;
        std::array<float, kBins> power;
        float localMax = -INFINITY;

        const std::size_t begin = task * kFramesPerTask;
        const std::size_t end = std::min(kFrames, begin + kFramesPerTask);
        for (std::size_t t = begin; t < end; ++t) {
            const std::size_t start = t * kHopLength;  // in padded coordinates
            if (start >= kPad && start + kFftSize - kPad <= kWindowSamples) {
                const float* src = x + (start - kPad);
                for (std::size_t n = 0; n < kFftSize; ++n)
                    frame[n] = src[n] * window_[n];
            } else {
                // Reflect padding: index -j maps to j, and N - 1 + j to N - 1 - j.
                for (std::size_t n = 0; n < kFftSize; ++n) {
                    auto j =
                        static_cast<std::ptrdiff_t>(start + n) - static_cast<std::ptrdiff_t>(kPad);
                    const auto last = static_cast<std::ptrdiff_t>(kWindowSamples) - 1;
                    if (j < 0)
                        j = -j;
                    if (j > last)
                        j = 2 * last - j;
                    frame[n] = x[j] * window_[n];
                }
            }
            kiss_fftr(fft, frame.data(), spectrum.data());
            for (std::size_t k = 0; k < kBins; ++k) {
                power[k] = spectrum[k].r * spectrum[k].r + spectrum[k].i * spectrum[k].i;
            }
            for (std::size_t m = 0; m < melCount_; ++m) {
                const float* w = filters_.data() + m * kBins;
                float s = 0;
                for (std::size_t k = firstBin_[m]; k < endBin_[m]; ++k)
                    s += w[k] * power[k];
                const float v = std::log10(std::max(s, 1e-10f));
                mel[m * kFrames + t] = v;
                localMax = std::max(localMax, v);
            }
        }
        blockMax[task] = localMax;
    });

    const float floor = *std::max_element(blockMax.begin(), blockMax.end()) - 8.0f;
    WorkerPool::shared().run(melCount_, [&](std::size_t m) {
        float* row = mel + m * kFrames;
        for (std::size_t t = 0; t < kFrames; ++t)
            row[t] = (std::max(row[t], floor) + 4.0f) / 4.0f;
    });
}

}  // namespace ml::whisper
