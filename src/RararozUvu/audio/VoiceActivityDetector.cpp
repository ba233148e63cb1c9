#include "rararozuvu/audio/VoiceActivityDetector.h"

#include <algorithm>

namespace rararozuvu {

std::vector<IndexRange> VoiceActivityDetector::calculateActiveChunks(
    std::span<const float> waveform) const {
    const std::vector<bool> activity = voiceActivity(waveform);
    const auto count = static_cast<std::int64_t>(waveform.size());
    std::vector<IndexRange> chunks;
    bool previousActive = false;
    for (std::size_t i = 0; i < activity.size(); ++i) {
        if (!activity[i]) {
            previousActive = false;
            continue;
        }
        const auto frame = static_cast<std::int64_t>(i);
        const std::int64_t start = std::min(frame * frameLengthSamples_, count);
        const std::int64_t end = std::min((frame + 1) * frameLengthSamples_, count);
        if (previousActive) {
            chunks.back().endIndex = end;
        } else {
            chunks.push_back({start, end});
        }
        previousActive = true;
    }
    return chunks;
}

std::int64_t VoiceActivityDetector::voiceActivityIndexToAudioSampleIndex(std::int64_t index) const {
    return index * frameLengthSamples_;
}

float VoiceActivityDetector::voiceActivityIndexToSeconds(std::int64_t index) const {
    return static_cast<float>(voiceActivityIndexToAudioSampleIndex(index)) /
           static_cast<float>(sampleRate_);
}

std::optional<IndexRange> VoiceActivityDetector::findLongestSilence(
    const std::vector<bool>& activity) {
    std::optional<IndexRange> longest;
    const auto count = static_cast<std::int64_t>(activity.size());
    for (std::int64_t i = 0; i < count;) {
        if (activity[static_cast<std::size_t>(i)]) {
            ++i;
            continue;
        }
        std::int64_t end = i;
        while (end < count && !activity[static_cast<std::size_t>(end)]) {
            ++end;
        }
        if (!longest || end - i > longest->endIndex - longest->startIndex) {
            longest = IndexRange{i, end};
        }
        i = end;
    }
    return longest;
}

std::vector<float> VoiceActivityDetector::voiceActivityClipTimestamps(
    std::span<const float> waveform) const {
    std::vector<float> timestamps;
    for (const TimeRange& range : calculateSeekTimestamps(waveform)) {
        timestamps.push_back(range.startTime);
        timestamps.push_back(range.endTime);
    }
    return timestamps;
}

std::vector<IndexRange> VoiceActivityDetector::calculateNonSilentSeekClips(
    std::span<const float> waveform) const {
    return calculateActiveChunks(waveform);
}

std::vector<VoiceActivityDetector::TimeRange> VoiceActivityDetector::calculateSeekTimestamps(
    std::span<const float> waveform) const {
    std::vector<TimeRange> timestamps;
    const auto rate = static_cast<float>(sampleRate_);
    for (const IndexRange& chunk : calculateActiveChunks(waveform)) {
        timestamps.push_back({static_cast<float>(chunk.startIndex) / rate,
                              static_cast<float>(chunk.endIndex) / rate});
    }
    return timestamps;
}

}  // namespace rararozuvu
