#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rararozuvu/audio/AudioBuffer.h"
#include "rararozuvu/audio/AudioFormat.h"

namespace rararozuvu {

// An audio file opened for reading as planar float frames, whatever its container and codec
// (WAV, FLAC, MP3, Ogg, M4A ...). Frames are decoded on demand from the current position, so
// reading a long file block by block keeps memory bounded. One caller at a time.
class AudioFile {
public:
    // Opens the file and its best audio stream. Throws WhisperError (loadAudioFailed) when the file
    // cannot be opened, holds no audio stream, or its codec cannot be decoded.
    explicit AudioFile(const std::string& path);
    ~AudioFile();
    AudioFile(AudioFile&&) noexcept;
    AudioFile& operator=(AudioFile&&) noexcept;

    const std::string& path() const noexcept;
    double sampleRate() const noexcept;
    std::uint32_t channelCount() const noexcept;
    // The format frames are read in: the file's rate and channel count.
    AudioFormat processingFormat() const noexcept;
    // Length in frames. Exact for PCM and lossless files; for compressed files it is the
    // container's figure, and a read simply ends where the decoded audio ends.
    std::int64_t length() const noexcept;

    std::int64_t framePosition() const noexcept;
    // Moves the read position; the move happens at the next read. Negative positions count as 0.
    void setFramePosition(std::int64_t frame);

    // Replaces the buffer's frames with up to frameCount frames from the current position (fewer
    // at the end of the file; the buffer's capacity also limits the count). The buffer must have
    // the processing format. Throws WhisperError (loadAudioFailed) with the decoder's description
    // when the audio cannot be decoded.
    void read(AudioBuffer& buffer, std::uint32_t frameCount);

    // Loads the libraries that reading these files will need now instead of at the first file,
    // e.g. on a thread of its own while a model loads. A failure is left for the first file to
    // report.
    static void prepareDecoding(const std::vector<std::string>& paths) noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace rararozuvu
