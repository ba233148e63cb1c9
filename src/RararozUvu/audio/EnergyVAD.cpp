#include "rararozuvu/audio/EnergyVAD.h"

#include <limits>

#include "rararozuvu/audio/AudioProcessor.h"

namespace rararozuvu {

EnergyVAD EnergyVAD::withDurations(int sampleRate, float frameLength, float frameOverlap,
                                   float energyThreshold) {
    const auto samples = [sampleRate](float seconds) {
        const float count = seconds * static_cast<float>(sampleRate);
        if (!(count > 0)) {
            return std::int64_t{0};
        }
        return count < 9.2e18f ? static_cast<std::int64_t>(count)
                               : std::numeric_limits<std::int64_t>::max();
    };
    return EnergyVAD(sampleRate, samples(frameLength), samples(frameOverlap), energyThreshold);
}

std::vector<bool> EnergyVAD::voiceActivity(std::span<const float> waveform) const {
    if (frameLengthSamples() <= 0) {
        return {};
    }
    const auto count = static_cast<std::int64_t>(waveform.size());
    const std::int64_t frames = (count + frameLengthSamples() - 1) / frameLengthSamples();
    return AudioProcessor::calculateVoiceActivityInChunks(waveform, frames, frameLengthSamples(),
                                                          frameOverlapSamples(), energyThreshold_);
}

}  // namespace rararozuvu
