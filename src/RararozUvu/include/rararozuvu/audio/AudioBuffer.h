#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "ml/PageBuffer.h"
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
    // One channel's samples: on the heap while they are few, in pages of their own once a block
    // of a file is read (megabytes, given back whole when the block goes, where the heap would
    // keep them).
    class Samples {
    public:
        Samples() = default;
        Samples(const Samples& other);
        Samples& operator=(const Samples& other);
        Samples(Samples&& other) noexcept
            : small_(std::move(other.small_)),
              large_(std::move(other.large_)),
              size_(std::exchange(other.size_, 0)) {}
        Samples& operator=(Samples&& other) noexcept {
            small_ = std::move(other.small_);
            large_ = std::move(other.large_);
            size_ = std::exchange(other.size_, 0);
            return *this;
        }

        float* data() noexcept { return large_.empty() ? small_.data() : large_.data(); }
        const float* data() const noexcept {
            return large_.empty() ? small_.data() : large_.data();
        }
        std::size_t size() const noexcept { return size_; }
        // Samples gained read as 0.
        void resize(std::size_t count);
        void append(const float* first, std::size_t count);

    private:
        std::vector<float> small_;
        ml::PageArray<float> large_;  // its size is the capacity
        std::size_t size_ = 0;
    };

    AudioFormat format_;
    std::uint32_t frameCapacity_;
    std::uint32_t frameLength_ = 0;
    std::vector<Samples> channels_;
};

}  // namespace rararozuvu
