#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <vector>

#include "rararozuvu/audio/AudioProcessing.h"

namespace rararozuvu {

// The audio front end of transcriptions of samples already in memory: it cuts model windows and
// captures nothing. The starts of live capture throw WhisperError (audioProcessingFailed); the
// sample history stays empty; stopping is a no-op. What a transcription task uses when it is
// given no front end (the speech facade makes an AudioProcessor, which can capture).
class ArrayAudioProcessor final : public AudioProcessing {
public:
    std::vector<float> audioSamples() const override { return {}; }
    void purgeAudioSamples(std::int64_t) override {}
    std::vector<float> relativeEnergy() const override { return {}; }
    std::int64_t relativeEnergyWindow() const override { return relativeEnergyWindow_; }
    void setRelativeEnergyWindow(std::int64_t window) override { relativeEnergyWindow_ = window; }

    void startRecordingLive(std::optional<std::uint32_t> inputDeviceID = std::nullopt,
                            BufferCallback callback = {}) override;
    // Reports the refusal through onFinish.
    void startStreamingRecordingLive(std::optional<std::uint32_t> inputDeviceID,
                                     BufferCallback onBuffer,
                                     std::function<void(std::exception_ptr)> onFinish) override;
    void pauseRecording() override {}
    void stopRecording() override {}
    void resumeRecordingLive(std::optional<std::uint32_t> inputDeviceID = std::nullopt,
                             BufferCallback callback = {}) override;

    // A float32 ml::MultiArray of shape [length]: the samples from startIndex, then zeros.
    // Nothing, after the error line "startIndex is outside the buffer size", for a start outside
    // the samples (so for no samples at all) or a length below 1.
    std::optional<AudioProcessorOutputType> padOrTrim(const std::vector<float>& audioArray,
                                                      std::int64_t startIndex,
                                                      std::int64_t length) override;

private:
    std::int64_t relativeEnergyWindow_ = 20;
};

}  // namespace rararozuvu
