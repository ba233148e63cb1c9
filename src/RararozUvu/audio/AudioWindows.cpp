#include <algorithm>
#include <cmath>
#include <limits>

#include "rararozuvu/audio/AudioProcessor.h"
#include "rararozuvu/audio/EnergyVAD.h"

namespace rararozuvu {

namespace {

// The reductions keep several independent partial results so the compiler can vectorise them;
// squares add up in double so long runs and values right at a threshold stay exact enough.
constexpr std::size_t lanes = 8;

double sumOfSquares(std::span<const float> x) {
    double sums[lanes] = {};
    std::size_t i = 0;
    for (; i + lanes <= x.size(); i += lanes) {
        for (std::size_t j = 0; j < lanes; ++j) {
            const double v = x[i + j];
            sums[j] += v * v;
        }
    }
    double total = 0;
    for (; i < x.size(); ++i) {
        total += double(x[i]) * x[i];
    }
    for (double s : sums) {
        total += s;
    }
    return total;
}

float rms(std::span<const float> x) {
    return x.empty() ? 0.0f : static_cast<float>(std::sqrt(sumOfSquares(x) / double(x.size())));
}

}  // namespace

std::optional<std::span<const float>> AudioProcessor::windowSamples(std::span<const float> audio,
                                                                    std::int64_t startIndex,
                                                                    std::int64_t length) {
    const auto count = static_cast<std::int64_t>(audio.size());
    if (startIndex < 0 || startIndex >= count || length <= 0) {
        return std::nullopt;
    }
    return audio.subspan(static_cast<std::size_t>(startIndex),
                         static_cast<std::size_t>(std::min(length, count - startIndex)));
}

std::optional<std::vector<float>> AudioProcessor::padOrTrimAudio(std::span<const float> audio,
                                                                 std::int64_t startIndex,
                                                                 std::int64_t length,
                                                                 bool /*saveSegment*/) {
    const std::optional<std::span<const float>> samples = windowSamples(audio, startIndex, length);
    if (!samples) {
        return std::nullopt;
    }
    std::vector<float> window(static_cast<std::size_t>(length), 0.0f);
    std::copy(samples->begin(), samples->end(), window.begin());
    return window;
}

AudioProcessor::Energy AudioProcessor::calculateEnergy(std::span<const float> signal) {
    if (signal.empty()) {
        return {};
    }
    float largest[lanes] = {};
    float smallest[lanes];
    std::fill(smallest, smallest + lanes, std::numeric_limits<float>::infinity());
    std::size_t i = 0;
    for (; i + lanes <= signal.size(); i += lanes) {
        for (std::size_t j = 0; j < lanes; ++j) {
            const float magnitude = std::fabs(signal[i + j]);
            largest[j] = std::max(largest[j], magnitude);
            smallest[j] = std::min(smallest[j], magnitude);
        }
    }
    for (; i < signal.size(); ++i) {
        const float magnitude = std::fabs(signal[i]);
        largest[0] = std::max(largest[0], magnitude);
        smallest[0] = std::min(smallest[0], magnitude);
    }
    return {rms(signal), *std::max_element(largest, largest + lanes),
            *std::min_element(smallest, smallest + lanes)};
}

float AudioProcessor::calculateAverageEnergy(std::span<const float> signal) {
    return rms(signal);
}

float AudioProcessor::calculateRelativeEnergy(std::span<const float> signal,
                                              std::optional<float> referenceEnergy) {
    const float signalLevel = 20.0f * std::log10(rms(signal));
    const float referenceLevel =
        referenceEnergy ? 20.0f * std::log10(std::max(*referenceEnergy, 1e-8f)) : -60.0f;
    const float relative = (signalLevel - referenceLevel) / (0.0f - referenceLevel);
    // A level that is not a number (an infinite reference) fails both tests and ends as 0.
    const float capped = relative > 1.0f ? 1.0f : relative;
    return capped >= 0.0f ? capped : 0.0f;
}

bool AudioProcessor::isVoiceDetected(std::span<const float> relativeEnergies,
                                     float nextBufferInSeconds, float silenceThreshold) {
    // Each energy stands for 0.1 s of audio.
    const float buffers = nextBufferInSeconds / 0.1f;
    const auto available = static_cast<std::int64_t>(relativeEnergies.size());
    std::int64_t k = 0;
    if (buffers >= float(available)) {
        k = available;
    } else if (buffers > 0) {
        k = static_cast<std::int64_t>(buffers);
    }
    const auto recent = relativeEnergies.last(static_cast<std::size_t>(k));
    // The newest second is left out: speech there may still be going on.
    const std::int64_t considered = std::min(std::max<std::int64_t>(k - 10, 10), k);
    return std::any_of(recent.begin(), recent.begin() + considered,
                       [silenceThreshold](float energy) { return energy > silenceThreshold; });
}

std::vector<bool> AudioProcessor::calculateVoiceActivityInChunks(std::span<const float> signal,
                                                                 std::int64_t chunkCount,
                                                                 std::int64_t frameLengthSamples,
                                                                 std::int64_t frameOverlapSamples,
                                                                 float energyThreshold) {
    const auto count = static_cast<std::int64_t>(signal.size());
    std::vector<bool> activity;
    activity.reserve(static_cast<std::size_t>(std::max<std::int64_t>(chunkCount, 0)));
    for (std::int64_t i = 0; i < chunkCount; ++i) {
        const std::int64_t start = std::clamp(i * frameLengthSamples, std::int64_t{0}, count);
        const std::int64_t end =
            std::clamp(start + frameLengthSamples + frameOverlapSamples, start, count);
        activity.push_back(rms(signal.subspan(static_cast<std::size_t>(start),
                                              static_cast<std::size_t>(end - start))) >
                           energyThreshold);
    }
    return activity;
}

std::vector<IndexRange> AudioProcessor::calculateNonSilentChunks(std::span<const float> signal) {
    return EnergyVAD().calculateActiveChunks(signal);
}

}  // namespace rararozuvu
