#include "rararozuvu/audio/AudioConverter.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "platform/FFmpeg.h"
#include "rararozuvu/results/WhisperError.h"

namespace rararozuvu {

namespace {

using namespace platform;

constexpr std::uint32_t sliceFrames = 16384;

int wholeRate(double rate) {
    if (!(rate >= 1.0) || rate > double(std::numeric_limits<int>::max())) {
        throw WhisperError::audioProcessingFailed("Unsupported sample rate for conversion");
    }
    return static_cast<int>(std::lround(rate));
}

}  // namespace

struct AudioConverter::Impl {
    AudioFormat input;
    AudioFormat output;
    Resampler resampler;
    std::vector<const std::uint8_t*> inputPlanes;
    std::vector<std::uint8_t*> outputPlanes;

    // Feeds `in` once (input that does not fit the output stays buffered inside the resampler);
    // with no input, drains the filter until it is empty or the output is full.
    void run(const AudioBuffer* in, AudioBuffer& out) {
        if (out.format() != output || (in != nullptr && in->format() != input)) {
            throw WhisperError::audioProcessingFailed(
                "Error converting audio: buffer format does not match the converter");
        }
        if (in != nullptr) {
            // Slices keep the resampler's own buffers small; it sizes (and clears) them by the
            // input of each call.
            for (std::uint32_t offset = 0; offset < in->frameLength(); offset += sliceFrames) {
                for (std::uint32_t c = 0; c < input.channelCount; ++c) {
                    inputPlanes[c] =
                        reinterpret_cast<const std::uint8_t*>(in->channel(c).data() + offset);
                }
                produce(inputPlanes.data(),
                        static_cast<int>(std::min(in->frameLength() - offset, sliceFrames)), out);
            }
            return;
        }
        while (out.frameLength() < out.frameCapacity() && produce(nullptr, 0, out) > 0) {
        }
    }

    int produce(const std::uint8_t** source, int sourceFrames, AudioBuffer& out) {
        const std::uint32_t start = out.frameLength();
        // Storage grows by what the resampler can give, never by the whole free capacity.
        const int ready = std::max(ffmpeg().swr_get_out_samples(resampler.get(), sourceFrames), 0);
        const int room =
            static_cast<int>(std::min<std::int64_t>(out.frameCapacity() - start, ready));
        out.setFrameLength(start + static_cast<std::uint32_t>(room));
        for (std::uint32_t c = 0; c < output.channelCount; ++c) {
            outputPlanes[c] = reinterpret_cast<std::uint8_t*>(out.channel(c).data() + start);
        }
        const int produced =
            ffmpeg().swr_convert(resampler.get(), outputPlanes.data(), room, source, sourceFrames);
        if (produced < 0) {
            out.setFrameLength(start);
            throw WhisperError::audioProcessingFailed("Error converting audio: " +
                                                      errorText(produced));
        }
        out.setFrameLength(start + static_cast<std::uint32_t>(produced));
        return produced;
    }
};

AudioConverter::AudioConverter(AudioFormat input, AudioFormat output)
    : impl_(std::make_unique<Impl>()) {
    impl_->input = input;
    impl_->output = output;
    if (input.channelCount == 0 || output.channelCount == 0 || input.channelCount > 64 ||
        output.channelCount > 64) {
        throw WhisperError::audioProcessingFailed("Unsupported channel count for conversion");
    }
    try {
        ffmpegForResampling();
    } catch (const std::runtime_error& error) {
        throw WhisperError::audioProcessingFailed(
            std::string("Failed to create audio converter: ") + error.what());
    }
    ChannelLayout inLayout(static_cast<int>(input.channelCount));
    ChannelLayout outLayout(static_cast<int>(output.channelCount));
    SwrContext* raw = nullptr;
    int result = ffmpeg().swr_alloc_set_opts2(
        &raw, outLayout.get(), AV_SAMPLE_FMT_FLTP, wholeRate(output.sampleRate), inLayout.get(),
        AV_SAMPLE_FMT_FLTP, wholeRate(input.sampleRate), 0, nullptr);
    impl_->resampler.reset(raw);
    if (result < 0 || (result = ffmpeg().swr_init(impl_->resampler.get())) < 0) {
        throw WhisperError::audioProcessingFailed("Failed to create audio converter: " +
                                                  errorText(result));
    }
    impl_->inputPlanes.resize(input.channelCount);
    impl_->outputPlanes.resize(output.channelCount);
}

AudioConverter::~AudioConverter() = default;
AudioConverter::AudioConverter(AudioConverter&&) noexcept = default;
AudioConverter& AudioConverter::operator=(AudioConverter&&) noexcept = default;

const AudioFormat& AudioConverter::inputFormat() const noexcept {
    return impl_->input;
}

const AudioFormat& AudioConverter::outputFormat() const noexcept {
    return impl_->output;
}

void AudioConverter::convert(const AudioBuffer& input, AudioBuffer& output) {
    impl_->run(&input, output);
}

void AudioConverter::flush(AudioBuffer& output) {
    impl_->run(nullptr, output);
    // Whatever did not fit is dropped with the old stream.
    ffmpeg().swr_close(impl_->resampler.get());
    ffmpeg().swr_init(impl_->resampler.get());
}

}  // namespace rararozuvu
