#pragma once

#include <memory>

#include "rararozuvu/audio/AudioBuffer.h"
#include "rararozuvu/audio/AudioFormat.h"

namespace rararozuvu {

// A streaming sample-rate and channel converter between two formats. Input is consumed exactly
// once: frames that do not fit the output of one call, and the resampling filter's look-ahead,
// stay inside and come out of the next call or of flush(). So consecutive buffers converted with
// one converter join without lost or repeated samples.
class AudioConverter {
public:
    // Throws WhisperError (audioProcessingFailed) when no converter exists between the formats.
    AudioConverter(AudioFormat input, AudioFormat output);
    ~AudioConverter();
    AudioConverter(AudioConverter&&) noexcept;
    AudioConverter& operator=(AudioConverter&&) noexcept;

    const AudioFormat& inputFormat() const noexcept;
    const AudioFormat& outputFormat() const noexcept;

    // Feeds every frame of `input` (in the input format) and appends the converted frames that are
    // ready, up to the free capacity of `output` (in the output format). Throws WhisperError
    // (audioProcessingFailed) on a format mismatch or a converter failure.
    void convert(const AudioBuffer& input, AudioBuffer& output);

    // Ends the stream: appends what the converter still holds, up to the free capacity of
    // `output`, and makes the converter ready for a new stream.
    void flush(AudioBuffer& output);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace rararozuvu
