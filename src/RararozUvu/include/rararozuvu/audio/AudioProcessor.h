#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "rararozuvu/audio/AudioBuffer.h"
#include "rararozuvu/audio/AudioConverter.h"
#include "rararozuvu/audio/AudioDevice.h"
#include "rararozuvu/audio/AudioFile.h"
#include "rararozuvu/audio/AudioInputConfig.h"
#include "rararozuvu/audio/AudioProcessing.h"
#include "rararozuvu/audio/AudioSource.h"
#include "rararozuvu/audio/IndexRange.h"
#include "rararozuvu/audio/WaveformImage.h"
#include "rararozuvu/results/WhisperError.h"

namespace rararozuvu {

class AudioCapture;

// Audio files and buffers to 16 kHz mono float samples, model windows, energies and the simple
// voice checks: static and stateless, callable from any thread. An instance is the speech
// library's live capture from the sound server, with the sample history and the energy of every
// captured buffer.
//
// Thread safety: the history is written on the capture thread and guarded; its readers get
// copies. Start, pause, resume and stop are serialised. Buffer callbacks run on the capture
// thread and must not start, pause, resume or stop the capture themselves.
class AudioProcessor : public AudioProcessing {
public:
    using ChannelMode = AudioInputConfig::ChannelMode;
    // One outcome per file of a batch load.
    using LoadResult = std::variant<std::vector<float>, WhisperError>;

    static constexpr double targetSampleRate = 16000.0;
    // Audio in this format is read as it is; any other goes through a converter.
    static constexpr AudioFormat targetFormat{targetSampleRate, 1};
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
    // Opens every file as a streamed source concurrently (each decoded once to count its
    // samples); result i belongs to paths[i]. One failure stops no other.
    using OpenResult = std::variant<std::unique_ptr<FileAudioSource>, WhisperError>;
    static std::vector<OpenResult> openAudioFiles(
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
    static std::vector<float> convertBufferToArray(AudioBuffer& buffer,
                                                   std::size_t chunkSize = 1024);

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

    // The samples' raw bytes as a width x height image (see WaveformImage::fromSamples).
    static WaveformImage createWaveformImage(std::span<const float> samples, double width,
                                             double height) {
        return WaveformImage::fromSamples(samples, width, height);
    }

    // --- Live capture ----------------------------------------------------------------------

    // The energy of one captured buffer: `rel` against the quietest of the 20 buffers before it.
    struct EnergyEntry {
        float rel = 0;
        float avg = 0;
        float max = 0;
        float min = 0;

        friend bool operator==(const EnergyEntry&, const EnergyEntry&) = default;
    };

    AudioProcessor();
    // Stops the capture first.
    ~AudioProcessor() override;
    AudioProcessor(const AudioProcessor&) = delete;
    AudioProcessor& operator=(const AudioProcessor&) = delete;

    // The sources of the sound server that are not monitors, in its order; empty (after an error
    // line) when the server cannot be reached.
    static std::vector<AudioDevice> getAudioDevices();
    // Whether there is a microphone to record: the server is reachable and has a source that is
    // not a monitor. There is no other permission to ask for here.
    static bool requestRecordPermission();

    std::vector<float> audioSamples() const override;
    void purgeAudioSamples(std::int64_t keepingLast) override;
    std::vector<EnergyEntry> audioEnergy() const;
    std::vector<float> relativeEnergy() const override;
    std::int64_t relativeEnergyWindow() const override;
    void setRelativeEnergyWindow(std::int64_t window) override;
    BufferCallback audioBufferCallback() const;
    void setAudioBufferCallback(BufferCallback callback);
    // Frames per captured buffer, at 16 kHz: 1600 makes each energy entry 0.1 s.
    std::int64_t minBufferLength() const;
    void setMinBufferLength(std::int64_t frames);
    bool isInputSuppressed() const;
    // While set, captured buffers go on as zeros, so the timeline keeps its length.
    void setInputSuppressed(bool suppressed);
    void suppressInputIfNeeded(std::vector<float>& samples) const;
    // Whether a capture is set up (running or paused).
    bool hasAudioEngine() const;

    // Throws WhisperError (audioProcessingFailed) for a buffer length outside 1...2^32 - 1 and
    // AudioCaptureError when the server cannot be reached or refuses the stream; the history is
    // empty then and a capture already running goes on.
    void startRecordingLive(std::optional<std::uint32_t> inputDeviceID = std::nullopt,
                            BufferCallback callback = {}) override;
    // The stream ends (onFinish with no error) when the capture is stopped or started afresh.
    void startStreamingRecordingLive(std::optional<std::uint32_t> inputDeviceID,
                                     BufferCallback onBuffer,
                                     std::function<void(std::exception_ptr)> onFinish) override;
    void pauseRecording() override;
    void stopRecording() override;
    // The same device as the last start resumes the capture there is (nothing after a stop); any
    // other sets up a new one and leaves the remembered device as it was.
    void resumeRecordingLive(std::optional<std::uint32_t> inputDeviceID = std::nullopt,
                             BufferCallback callback = {}) override;

    std::optional<AudioProcessorOutputType> padOrTrim(const std::vector<float>& audioArray,
                                                      std::int64_t startIndex,
                                                      std::int64_t length) override;

    // Appends one converted buffer to the history with its energy entry and hands it to the
    // buffer callback.
    void processBuffer(std::vector<float> buffer);

private:
    // The samples a window from startIndex of `length` samples takes from `audio` (the rest of
    // the window is zeros), or none when the window is out of bounds (see padOrTrimAudio).
    static std::optional<std::span<const float>> windowSamples(std::span<const float> audio,
                                                               std::int64_t startIndex,
                                                               std::int64_t length);

    struct Engine;

    std::unique_ptr<Engine> setupEngine(std::optional<std::uint32_t> inputDeviceID);
    static std::optional<std::string> assignAudioInput(AudioCapture& capture,
                                                       std::uint32_t inputDeviceID);
    void start(std::optional<std::uint32_t> inputDeviceID, BufferCallback callback,
               std::function<void(std::exception_ptr)> onFinish);
    void clearHistory();

    // Guards the history and the settings the capture thread reads. Never held while calling
    // into the capture layer, whose callbacks take it.
    mutable std::mutex dataMutex_;
    std::vector<float> audioSamples_;
    std::vector<EnergyEntry> audioEnergy_;
    std::int64_t relativeEnergyWindow_ = 20;
    BufferCallback audioBufferCallback_;
    std::int64_t minBufferLength_ = 1600;
    bool isInputSuppressed_ = false;

    // Serialises start, pause, resume and stop.
    mutable std::mutex controlMutex_;
    std::unique_ptr<Engine> audioEngine_;
    std::optional<std::uint32_t> lastInputDevice_;
    std::function<void(std::exception_ptr)> streamFinish_;
};

}  // namespace rararozuvu
