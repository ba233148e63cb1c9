#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rararozuvu/audio/AudioInputConfig.h"

namespace rararozuvu {

// The 16 kHz mono samples of one recording, read window by window. Whoever transcribes a source
// asks for its length once and then for the samples of each window, mostly moving forward.
class AudioSource {
public:
    virtual ~AudioSource() = default;

    // The number of samples, known before any window is read.
    virtual std::int64_t sampleCount() const = 0;
    // Replaces `out` with the samples [start, start + count), cut to the recording. Throws
    // WhisperError (loadAudioFailed) when a file can no longer give them.
    virtual void read(std::int64_t start, std::int64_t count, std::vector<float>& out) = 0;
};

// Samples the caller already holds in memory; they must outlive the source.
class ArrayAudioSource final : public AudioSource {
public:
    explicit ArrayAudioSource(const std::vector<float>& samples) : samples_(samples) {}

    std::int64_t sampleCount() const override { return static_cast<std::int64_t>(samples_.size()); }
    void read(std::int64_t start, std::int64_t count, std::vector<float>& out) override {
        const std::int64_t from = std::clamp<std::int64_t>(start, 0, sampleCount());
        const std::int64_t to = std::clamp<std::int64_t>(start + count, from, sampleCount());
        out.assign(samples_.begin() + from, samples_.begin() + to);
    }

private:
    const std::vector<float>& samples_;
};

// An audio file decoded, mixed to mono and resampled as it is read, giving exactly the samples
// AudioProcessor::loadAudioAsFloatArray gives for it. Only the samples from the last window's
// start onwards stay in memory; a window before that decodes the file again from its start.
class FileAudioSource final : public AudioSource {
public:
    using ChannelMode = AudioInputConfig::ChannelMode;

    // Opens the file and decodes it once through to count its samples, so that every loading
    // error comes out here, with loadAudioAsFloatArray's messages. Throws WhisperError
    // (loadAudioFailed).
    FileAudioSource(std::string path, ChannelMode channelMode);
    ~FileAudioSource() override;
    FileAudioSource(const FileAudioSource&) = delete;
    FileAudioSource& operator=(const FileAudioSource&) = delete;

    const std::string& path() const noexcept { return path_; }
    std::int64_t sampleCount() const override { return count_; }
    void read(std::int64_t start, std::int64_t count, std::vector<float>& out) override;
    // Every sample at once, for the callers that need the whole signal.
    std::vector<float> readAll();

    // The decoding pass both this source and the whole-file load read through.
    class Reader;

private:
    void dropBefore(std::int64_t start);

    std::string path_;
    ChannelMode channelMode_;
    std::int64_t count_ = 0;
    std::unique_ptr<Reader> reader_;
    std::vector<float> buffered_;
    std::int64_t bufferStart_ = 0;
};

}  // namespace rararozuvu
