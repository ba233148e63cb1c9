#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "rararozuvu/audio/AudioConverter.h"
#include "rararozuvu/audio/AudioFormat.h"

namespace rararozuvu::platform {

// Cuts what a record stream hands over, in whatever pieces the server sends, into fragments of
// exactly `fragmentFrames` 16 kHz mono samples. The server normally converts to our format
// itself; a stream it gave another rate or channel count is mixed down and resampled here.
class CaptureFragments {
public:
    using Emit = std::function<void(std::span<const float>)>;

    // Throws WhisperError (audioProcessingFailed) when no converter exists from `input`.
    CaptureFragments(AudioFormat input, std::uint32_t fragmentFrames);

    const AudioFormat& inputFormat() const { return input_; }

    // `interleaved` holds whole frames of the input format.
    void push(std::span<const float> interleaved, const Emit& emit);
    // A gap the server reported: silence of that many input frames, so the timeline keeps pace.
    void pushSilence(std::size_t frames, const Emit& emit);
    // Hands over what is left, a last shorter fragment, and starts afresh.
    void finish(const Emit& emit);

private:
    void emitWhole(const Emit& emit);

    AudioFormat input_;
    std::uint32_t fragmentFrames_;
    std::unique_ptr<AudioConverter> converter_;
    std::vector<float> pending_;
};

}  // namespace rararozuvu::platform
