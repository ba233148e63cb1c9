#include "rararozuvu/audio/ArrayAudioProcessor.h"

#include <algorithm>

#include "ml/MultiArray.h"
#include "rararozuvu/results/WhisperError.h"
#include "vevidocore/Logging.h"

namespace rararozuvu {

namespace {

WhisperError noCapture() {
    return WhisperError::audioProcessingFailed("Live audio capture is not available");
}

}  // namespace

void ArrayAudioProcessor::startRecordingLive(std::optional<std::uint32_t>, BufferCallback) {
    throw noCapture();
}

void ArrayAudioProcessor::startStreamingRecordingLive(
    std::optional<std::uint32_t>, BufferCallback,
    std::function<void(std::exception_ptr)> onFinish) {
    if (onFinish)
        onFinish(std::make_exception_ptr(noCapture()));
}

void ArrayAudioProcessor::resumeRecordingLive(std::optional<std::uint32_t>, BufferCallback) {
    throw noCapture();
}

std::optional<AudioProcessorOutputType> ArrayAudioProcessor::padOrTrim(
    const std::vector<float>& audioArray, std::int64_t startIndex, std::int64_t length) {
    const auto count = static_cast<std::int64_t>(audioArray.size());
    if (startIndex < 0 || startIndex >= count || length < 1) {
        vevidocore::Logging::error("startIndex is outside the buffer size");
        return std::nullopt;
    }
    ml::MultiArray window({length}, ml::MultiArrayDataType::float32);
    float* out = window.data<float>();
    const std::int64_t copied = std::min(length, count - startIndex);
    std::copy_n(audioArray.begin() + startIndex, copied, out);
    std::fill(out + copied, out + length, 0.0f);
    return AudioProcessorOutputType(std::move(window));
}

}  // namespace rararozuvu
