#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "rararozuvu/AudioBuffer.h"
#include "rararozuvu/AudioConverter.h"
#include "rararozuvu/AudioFile.h"
#include "rararozuvu/AudioInputConfig.h"
#include "rararozuvu/IndexRange.h"
#include "rararozuvu/WhisperError.h"

namespace rararozuvu {

// Audio files and buffers to 16 kHz mono float samples, model windows, energies and the simple
// voice checks. Everything here is static and stateless, callable from any thread.
class AudioProcessor {
public:
    using ChannelMode = AudioInputConfig::ChannelMode;
    // One outcome per file of a batch load.
    using LoadResult = std::variant<std::vector<float>, WhisperError>;

    static constexpr double targetSampleRate = 16000.0;
    // 30 s at 44.1 kHz: the largest block read from a file at once.
    static constexpr std::uint32_t defaultAudioReadFrameSize = 1323000;

    struct Energy {
        float avg = 0;  // root mean square
        float max = 0;  // largest magnitude
        float min = 0;  // smallest magnitude
    };

    // --- Loading ---------------------------------------------------------------------------

    // 16 kHz mono samples of the file between the given times (whole file by default). A 16 kHz
    // mono file is read as it is; any other is mixed by `channelMode` and resampled, block by
    // block. Throws WhisperError (loadAudioFailed): "Resource path does not exist <path>", a
    // failure to open or decode, "Failed to read audio file: ...", "Failed to process audio
    // buffer".
    static AudioBuffer loadAudio(const std::string& path,
                                 const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                 std::optional<double> startTime = {},
                                 std::optional<double> endTime = {},
                                 std::optional<std::uint32_t> maxReadFrameSize = {});
    static AudioBuffer loadAudio(AudioFile& file,
                                 const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                 std::optional<double> startTime = {},
                                 std::optional<double> endTime = {},
                                 std::optional<std::uint32_t> maxReadFrameSize = {});

    // The same samples as an array, gathered straight from the decoder without a whole-file buffer.
    static std::vector<float> loadAudioAsFloatArray(
        const std::string& path, const ChannelMode& channelMode = ChannelMode::sumChannels(),
        std::optional<double> startTime = {}, std::optional<double> endTime = {});

    // Loads every file concurrently; result i belongs to paths[i]. One failure stops no other.
    static std::vector<LoadResult> loadAudio(
        const std::vector<std::string>& paths,
        const ChannelMode& channelMode = ChannelMode::sumChannels());

    // Reads frameCount frames (the rest of the file by default) from the file's position, mixes
    // each block to mono and resamples it with one converter for the whole read. At most
    // floor(seconds read x sampleRate) frames come out. None on failure.
    static std::optional<AudioBuffer> resampleAudio(AudioFile& file, double sampleRate,
                                                    std::uint32_t channelCount,
                                                    const ChannelMode& channelMode,
                                                    std::optional<std::uint32_t> frameCount,
                                                    std::uint32_t maxReadFrameSize);

    // Converts a whole buffer (start to end of stream). None on failure.
    static std::optional<AudioBuffer> resampleAudio(const AudioBuffer& buffer, double sampleRate,
                                                    std::uint32_t channelCount);

    // Feeds one buffer to a converter that may be fed again with the next buffer of the same
    // stream. The result's capacity is the buffer's length at the output rate (rounded half to
    // even when fractional, at least 1); it holds the frames the converter has ready. Throws
    // WhisperError (audioProcessingFailed).
    static AudioBuffer resampleBuffer(const AudioBuffer& buffer, AudioConverter& converter);

    // One channel from several by the mode; a buffer with fewer than two channels comes back as it
    // is.
    static std::optional<AudioBuffer> convertToMono(const AudioBuffer& buffer,
                                                    const ChannelMode& channelMode);

    // The first channel's frames as an array; the copied frames of the buffer are cleared to 0.
    static std::vector<float> convertBufferToArray(AudioBuffer& buffer, std::size_t chunkSize = 1024);

    // --- Windows and energy ----------------------------------------------------------------

    // A window of exactly `length` samples: the samples from startIndex, then zeros. None (the
    // caller reports "startIndex is outside the buffer size") when startIndex is negative or not
    // below the number of samples, or when length is not positive. `saveSegment` has no effect.
    static std::optional<std::vector<float>> padOrTrimAudio(std::span<const float> audio,
                                                            std::int64_t startIndex,
                                                            std::int64_t length,
                                                            bool saveSegment = false);

    static Energy calculateEnergy(std::span<const float> signal);
    static float calculateAverageEnergy(std::span<const float> signal);

    // The signal's level on a 0...1 scale from the reference level (0; -60 dB without a
    // reference) to full scale (1).
    static float calculateRelativeEnergy(std::span<const float> signal,
                                         std::optional<float> referenceEnergy = {});

    // Whether the newest nextBufferInSeconds of relative energies (one per 0.1 s) hold a value
    // above the threshold, looking at all but their last second.
    static bool isVoiceDetected(std::span<const float> relativeEnergies, float nextBufferInSeconds,
                                float silenceThreshold);

    // One flag per frame: frame i reads frameLengthSamples + frameOverlapSamples samples from
    // i x frameLengthSamples (cut at the end of the array) and is active when their RMS is above
    // the threshold. Frames starting past the end of the array are inactive.
    static std::vector<bool> calculateVoiceActivityInChunks(std::span<const float> signal,
                                                            std::int64_t chunkCount,
                                                            std::int64_t frameLengthSamples,
                                                            std::int64_t frameOverlapSamples,
                                                            float energyThreshold);

    // Sample ranges of speech by the default energy detector (0.1 s frames, threshold 0.02).
    static std::vector<IndexRange> calculateNonSilentChunks(std::span<const float> signal);
};

}  // namespace rararozuvu
