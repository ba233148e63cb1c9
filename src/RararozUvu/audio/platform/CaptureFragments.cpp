#include "CaptureFragments.h"

#include <algorithm>
#include <cmath>

#include "rararozuvu/audio/AudioBuffer.h"

namespace rararozuvu::platform {

namespace {

constexpr AudioFormat target{16000.0, 1};

}  // namespace

CaptureFragments::CaptureFragments(AudioFormat input, std::uint32_t fragmentFrames)
    : input_(input), fragmentFrames_(std::max<std::uint32_t>(fragmentFrames, 1)) {
    if (input_.sampleRate != target.sampleRate) {
        converter_ = std::make_unique<AudioConverter>(AudioFormat{input_.sampleRate, 1}, target);
    }
    pending_.reserve(fragmentFrames_ * 2);
}

void CaptureFragments::push(std::span<const float> interleaved, const Emit& emit) {
    const std::uint32_t channels = input_.channelCount;
    if (!converter_ && channels == 1) {
        pending_.insert(pending_.end(), interleaved.begin(), interleaved.end());
        emitWhole(emit);
        return;
    }
    const auto frames = static_cast<std::uint32_t>(interleaved.size() / channels);
    if (frames == 0) {
        return;
    }
    // The mean of the channels: a microphone heard on every channel keeps its level.
    AudioBuffer input(AudioFormat{input_.sampleRate, 1}, frames);
    input.setFrameLength(frames);
    std::span<float> mono = input.channel(0);
    for (std::uint32_t i = 0; i < frames; ++i) {
        float sum = 0.0f;
        for (std::uint32_t c = 0; c < channels; ++c) {
            sum += interleaved[std::size_t(i) * channels + c];
        }
        mono[i] = sum / static_cast<float>(channels);
    }
    if (!converter_) {
        pending_.insert(pending_.end(), mono.begin(), mono.end());
        emitWhole(emit);
        return;
    }
    // Room for every frame this input can yield, with the filter's look-ahead on top.
    const auto capacity = static_cast<std::uint32_t>(
        std::ceil(double(frames) * target.sampleRate / input_.sampleRate) + 256);
    AudioBuffer output(target, capacity);
    converter_->convert(input, output);
    std::span<const float> converted = output.channel(0);
    pending_.insert(pending_.end(), converted.begin(), converted.end());
    emitWhole(emit);
}

void CaptureFragments::pushSilence(std::size_t frames, const Emit& emit) {
    const std::vector<float> silence(frames * input_.channelCount, 0.0f);
    push(silence, emit);
}

void CaptureFragments::finish(const Emit& emit) {
    if (converter_) {
        AudioBuffer output(target, 4096);
        converter_->flush(output);
        std::span<const float> rest = output.channel(0);
        pending_.insert(pending_.end(), rest.begin(), rest.end());
    }
    emitWhole(emit);
    if (!pending_.empty()) {
        const std::vector<float> last = std::move(pending_);
        pending_.clear();
        emit(last);
    }
}

void CaptureFragments::emitWhole(const Emit& emit) {
    std::size_t offset = 0;
    while (pending_.size() - offset >= fragmentFrames_) {
        emit(std::span<const float>(pending_.data() + offset, fragmentFrames_));
        offset += fragmentFrames_;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(offset));
}

}  // namespace rararozuvu::platform
