#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "rararozuvu/audio/AudioFormat.h"

namespace rararozuvu {

// A block of planar float samples with a fixed format and a frame capacity.
//
// Invariants: frameLength() <= frameCapacity(); every channel holds exactly frameLength() samples.
// Storage grows with the frame length and is never taken up front for the whole capacity, so a
// file header that promises more frames than the file holds costs no memory.
class AudioBuffer {
public:
    AudioBuffer(AudioFormat format, std::uint32_t frameCapacity);

    const AudioFormat& format() const noexcept { return format_; }
    std::uint32_t channelCount() const noexcept { return format_.channelCount; }
    std::uint32_t frameCapacity() const noexcept { return frameCapacity_; }
    std::uint32_t frameLength() const noexcept { return frameLength_; }

    // Sets the number of valid frames, clamped to the capacity; frames gained read as 0.
    void setFrameLength(std::uint32_t frames);

    // The valid frames of one channel; an index past the last channel is a programming error.
    std::span<float> channel(std::uint32_t index);
    std::span<const float> channel(std::uint32_t index) const;

    // Appends frameCount frames of `source` from startingFrame after this buffer's frames, channel
    // by channel. Only what fits the capacity is appended. Returns false, appending nothing, when
    // the formats differ or the source holds fewer than startingFrame + frameCount frames.
    bool appendContents(const AudioBuffer& source, std::uint32_t startingFrame,
                        std::uint32_t frameCount);

private:
    AudioFormat format_;
    std::uint32_t frameCapacity_;
    std::uint32_t frameLength_ = 0;
    std::vector<std::vector<float>> channels_;
};

}  // namespace rararozuvu
