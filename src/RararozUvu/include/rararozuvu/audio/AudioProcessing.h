#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <vector>

#include "rararozuvu/audio/StageOutputTypes.h"

namespace rararozuvu {

// The speech library's audio front end: live capture with its sample history and energies, and
// the cut of one model window. The file loading and the static window cut of the front end are
// static operations of AudioProcessor, which C++ interfaces cannot require.
//
// Device identifiers are optional: none means the system's default input.
class AudioProcessing {
public:
    using BufferCallback = std::function<void(const std::vector<float>&)>;

    virtual ~AudioProcessing() = default;

    // Every 16 kHz mono sample captured since the last start, in order.
    virtual std::vector<float> audioSamples() const = 0;
    // Keeps only the newest `keepingLast` samples (all of them when there are fewer).
    virtual void purgeAudioSamples(std::int64_t keepingLast) = 0;
    // The relative energy (0...1) of every captured buffer, in capture order.
    virtual std::vector<float> relativeEnergy() const = 0;
    virtual std::int64_t relativeEnergyWindow() const = 0;
    virtual void setRelativeEnergyWindow(std::int64_t window) = 0;

    // Clears the history and starts capture; `callback` receives every converted buffer. Throws
    // WhisperError (audioProcessingFailed) or the platform's error when capture cannot start.
    virtual void startRecordingLive(std::optional<std::uint32_t> inputDeviceID = std::nullopt,
                                    BufferCallback callback = {}) = 0;
    // Capture delivered as a stream: `onBuffer` receives every buffer, `onFinish` the end of the
    // stream (with the error when capture failed to start, else empty). Never throws itself.
    virtual void startStreamingRecordingLive(std::optional<std::uint32_t> inputDeviceID,
                                             BufferCallback onBuffer,
                                             std::function<void(std::exception_ptr)> onFinish) = 0;
    virtual void pauseRecording() = 0;
    // Stops capture if it runs; samples, energies and callback stay. Never fails.
    virtual void stopRecording() = 0;
    // Starts capture again keeping the history; an empty callback keeps the current one.
    virtual void resumeRecordingLive(std::optional<std::uint32_t> inputDeviceID = std::nullopt,
                                     BufferCallback callback = {}) = 0;

    // A window of exactly `length` samples: the samples from `startIndex`, then zeros (a float32
    // ml::MultiArray of shape [length]). Nothing, with the error line "startIndex is outside the
    // buffer size", when the start lies outside the samples.
    virtual std::optional<AudioProcessorOutputType> padOrTrim(const std::vector<float>& audioArray,
                                                              std::int64_t startIndex,
                                                              std::int64_t length) = 0;
};

}  // namespace rararozuvu
