#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "rararozuvu/audio/VoiceActivityDetector.h"

namespace rararozuvu {

// A frame is speech when the RMS of its samples (with the overlap) is above the threshold.
class EnergyVAD : public VoiceActivityDetector {
public:
    explicit EnergyVAD(int sampleRate = 16000, std::int64_t frameLengthSamples = 1600,
                       std::int64_t frameOverlapSamples = 0, float energyThreshold = 0.02f)
        : VoiceActivityDetector(sampleRate, frameLengthSamples, frameOverlapSamples),
          energyThreshold_(energyThreshold) {}

    // Frame length and overlap given in seconds (whole samples, rounded toward zero).
    static EnergyVAD withDurations(int sampleRate, float frameLength, float frameOverlap,
                                   float energyThreshold);

    float energyThreshold() const noexcept { return energyThreshold_; }

    // ceil(samples / frameLengthSamples) frames; none for an empty input.
    std::vector<bool> voiceActivity(std::span<const float> waveform) const override;

private:
    float energyThreshold_;
};

}  // namespace rararozuvu
