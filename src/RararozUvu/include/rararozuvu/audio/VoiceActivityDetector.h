#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "rararozuvu/audio/IndexRange.h"

namespace rararozuvu {

// Marks fixed frames of 16 kHz samples as speech or silence. Frame i covers the samples from
// i x frameLengthSamples; a detector may read frameOverlapSamples further. Detectors hold only
// their configuration, so one serves concurrent callers.
class VoiceActivityDetector {
public:
    struct TimeRange {
        float startTime = 0;
        float endTime = 0;
        friend bool operator==(const TimeRange&, const TimeRange&) = default;
    };

    VoiceActivityDetector(int sampleRate, std::int64_t frameLengthSamples,
                          std::int64_t frameOverlapSamples)
        : sampleRate_(sampleRate),
          frameLengthSamples_(frameLengthSamples),
          frameOverlapSamples_(frameOverlapSamples) {}
    virtual ~VoiceActivityDetector() = default;

    int sampleRate() const noexcept { return sampleRate_; }
    std::int64_t frameLengthSamples() const noexcept { return frameLengthSamples_; }
    std::int64_t frameOverlapSamples() const noexcept { return frameOverlapSamples_; }

    // One flag per frame, true for speech.
    virtual std::vector<bool> voiceActivity(std::span<const float> waveform) const = 0;

    // Sample ranges of consecutive active frames; the last frame is cut at the end of the samples
    // and the overlap plays no part.
    std::vector<IndexRange> calculateActiveChunks(std::span<const float> waveform) const;

    std::int64_t voiceActivityIndexToAudioSampleIndex(std::int64_t index) const;
    float voiceActivityIndexToSeconds(std::int64_t index) const;

    // The longest run of inactive frames (the earliest among equally long ones), or none.
    static std::optional<IndexRange> findLongestSilence(const std::vector<bool>& activity);

    // The active ranges in seconds as a flat start, end, start, end ... list (the form of clip
    // timestamps).
    std::vector<float> voiceActivityClipTimestamps(std::span<const float> waveform) const;
    // The active ranges as sample ranges.
    std::vector<IndexRange> calculateNonSilentSeekClips(std::span<const float> waveform) const;
    // The active ranges in seconds.
    std::vector<TimeRange> calculateSeekTimestamps(std::span<const float> waveform) const;

private:
    int sampleRate_;
    std::int64_t frameLengthSamples_;
    std::int64_t frameOverlapSamples_;
};

}  // namespace rararozuvu
