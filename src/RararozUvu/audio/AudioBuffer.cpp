#include "rararozuvu/audio/AudioBuffer.h"

#include <algorithm>

namespace rararozuvu {

AudioBuffer::AudioBuffer(AudioFormat format, std::uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity), channels_(format.channelCount) {}

void AudioBuffer::setFrameLength(std::uint32_t frames) {
    frameLength_ = std::min(frames, frameCapacity_);
    for (auto& samples : channels_) {
        samples.resize(frameLength_);
    }
}

std::span<float> AudioBuffer::channel(std::uint32_t index) {
    return channels_.at(index);
}

std::span<const float> AudioBuffer::channel(std::uint32_t index) const {
    return channels_.at(index);
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
        const auto from = source.channels_[c].begin() + startingFrame;
        channels_[c].insert(channels_[c].end(), from, from + count);
    }
    frameLength_ += count;
    return true;
}

}  // namespace rararozuvu
