#include "rararozuvu/audio/AudioBuffer.h"

#include <algorithm>
#include <cstring>

namespace rararozuvu {

namespace {

// Samples from this count up (256 KiB) live in pages of their own.
constexpr std::size_t kPagedSamples = std::size_t{1} << 16;

}  // namespace

AudioBuffer::Samples::Samples(const Samples& other) {
    resize(other.size_);
    if (size_ != 0)
        std::memcpy(data(), other.data(), size_ * sizeof(float));
}

AudioBuffer::Samples& AudioBuffer::Samples::operator=(const Samples& other) {
    if (this != &other)
        *this = Samples(other);
    return *this;
}

void AudioBuffer::Samples::resize(std::size_t count) {
    if (large_.empty() && count < kPagedSamples) {
        // Grown by doubling up to the paged size, never past it.
        if (count > small_.capacity())
            small_.reserve(std::min(std::max(count, 2 * small_.capacity()), kPagedSamples));
        small_.resize(count);
    } else if (count > large_.size()) {
        // Grown by doubling, as a vector grows; the new pages start zeroed, and the room beyond
        // `count` takes memory only once it is written.
        ml::PageArray<float> grown(std::max(count, 2 * large_.size()), count);
        if (size_ != 0)
            std::memcpy(grown.data(), data(), size_ * sizeof(float));
        large_ = std::move(grown);
        small_ = std::vector<float>();
    } else if (count > size_) {
        std::fill(large_.data() + size_, large_.data() + count, 0.0f);
    }
    size_ = count;
}

void AudioBuffer::Samples::append(const float* first, std::size_t count) {
    const std::size_t at = size_;
    resize(at + count);
    if (count != 0)
        std::memcpy(data() + at, first, count * sizeof(float));
}

AudioBuffer::AudioBuffer(AudioFormat format, std::uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity), channels_(format.channelCount) {}

void AudioBuffer::setFrameLength(std::uint32_t frames) {
    frameLength_ = std::min(frames, frameCapacity_);
    for (Samples& samples : channels_) {
        samples.resize(frameLength_);
    }
}

std::span<float> AudioBuffer::channel(std::uint32_t index) {
    Samples& samples = channels_.at(index);
    return {samples.data(), samples.size()};
}

std::span<const float> AudioBuffer::channel(std::uint32_t index) const {
    const Samples& samples = channels_.at(index);
    return {samples.data(), samples.size()};
}

bool AudioBuffer::appendContents(const AudioBuffer& source, std::uint32_t startingFrame,
                                 std::uint32_t frameCount) {
    if (source.format_ != format_) {
        return false;
    }
    if (std::uint64_t{startingFrame} + frameCount > source.frameLength_) {
        return false;
    }
    const std::uint32_t count = std::min(frameCount, frameCapacity_ - frameLength_);
    for (std::uint32_t c = 0; c < channels_.size(); ++c) {
        channels_[c].append(source.channels_[c].data() + startingFrame, count);
    }
    frameLength_ += count;
    return true;
}

}  // namespace rararozuvu
