// The live capture of AudioProcessor: one record stream of the sound server per capture, the
// sample history and the energy of every buffer.

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "ml/MultiArray.h"
#include "rararozuvu/audio/AudioCapture.h"
#include "rararozuvu/audio/AudioProcessor.h"
#include "vevidocore/Logging.h"

namespace rararozuvu {

// A capture: the connection and its stream, which must end first.
struct AudioProcessor::Engine {
    std::shared_ptr<AudioCapture> capture;
    std::unique_ptr<CaptureStream> stream;

    ~Engine() { stream.reset(); }
};

namespace {

// The reference of the relative energy never looks further back, whatever the window says.
constexpr std::size_t referenceEntries = 20;

using vevidocore::Logging;

}  // namespace

AudioProcessor::AudioProcessor() = default;

AudioProcessor::~AudioProcessor() {
    stopRecording();
}

std::vector<AudioDevice> AudioProcessor::getAudioDevices() {
    std::shared_ptr<AudioCapture> capture;
    try {
        capture = AudioCapture::connect();
    } catch (const std::exception& error) {
        Logging::error("Error: Unable to get the number of audio devices.");
        return {};
    }
    std::vector<AudioDevice> devices;
    try {
        for (const CaptureSource& source : capture->inputSources()) {
            devices.push_back(AudioDevice{source.index, source.description});
        }
    } catch (const std::exception& error) {
        Logging::error("Error: Unable to get the audio device IDs.");
        return {};
    }
    return devices;
}

bool AudioProcessor::requestRecordPermission() {
    try {
        return !AudioCapture::connect()->inputSources().empty();
    } catch (const std::exception& error) {
        Logging::error(std::string("Microphone access denied: ") + error.what());
        return false;
    }
}

// --- History ---------------------------------------------------------------------------------

std::vector<float> AudioProcessor::audioSamples() const {
    std::lock_guard lock(dataMutex_);
    return audioSamples_;
}

void AudioProcessor::purgeAudioSamples(std::int64_t keepingLast) {
    std::lock_guard lock(dataMutex_);
    const auto keep = static_cast<std::size_t>(std::max<std::int64_t>(keepingLast, 0));
    if (audioSamples_.size() > keep) {
        audioSamples_.erase(audioSamples_.begin(),
                            audioSamples_.end() - static_cast<std::ptrdiff_t>(keep));
    }
}

std::vector<AudioProcessor::EnergyEntry> AudioProcessor::audioEnergy() const {
    std::lock_guard lock(dataMutex_);
    return audioEnergy_;
}

std::vector<float> AudioProcessor::relativeEnergy() const {
    std::lock_guard lock(dataMutex_);
    std::vector<float> relative;
    relative.reserve(audioEnergy_.size());
    for (const EnergyEntry& entry : audioEnergy_) {
        relative.push_back(entry.rel);
    }
    return relative;
}

std::int64_t AudioProcessor::relativeEnergyWindow() const {
    std::lock_guard lock(dataMutex_);
    return relativeEnergyWindow_;
}

void AudioProcessor::setRelativeEnergyWindow(std::int64_t window) {
    std::lock_guard lock(dataMutex_);
    relativeEnergyWindow_ = window;
}

AudioProcessing::BufferCallback AudioProcessor::audioBufferCallback() const {
    std::lock_guard lock(dataMutex_);
    return audioBufferCallback_;
}

void AudioProcessor::setAudioBufferCallback(BufferCallback callback) {
    std::lock_guard lock(dataMutex_);
    audioBufferCallback_ = std::move(callback);
}

std::int64_t AudioProcessor::minBufferLength() const {
    std::lock_guard lock(dataMutex_);
    return minBufferLength_;
}

void AudioProcessor::setMinBufferLength(std::int64_t frames) {
    std::lock_guard lock(dataMutex_);
    minBufferLength_ = frames;
}

bool AudioProcessor::isInputSuppressed() const {
    std::lock_guard lock(dataMutex_);
    return isInputSuppressed_;
}

void AudioProcessor::setInputSuppressed(bool suppressed) {
    std::lock_guard lock(dataMutex_);
    isInputSuppressed_ = suppressed;
}

void AudioProcessor::suppressInputIfNeeded(std::vector<float>& samples) const {
    if (isInputSuppressed()) {
        std::fill(samples.begin(), samples.end(), 0.0f);
    }
}

bool AudioProcessor::hasAudioEngine() const {
    std::lock_guard lock(controlMutex_);
    return audioEngine_ != nullptr;
}

void AudioProcessor::clearHistory() {
    std::lock_guard lock(dataMutex_);
    audioSamples_.clear();
    audioEnergy_.clear();
}

void AudioProcessor::processBuffer(std::vector<float> buffer) {
    BufferCallback callback;
    EnergyEntry entry;
    std::size_t total = 0;
    bool logSize = false;
    {
        std::lock_guard lock(dataMutex_);
        audioSamples_.insert(audioSamples_.end(), buffer.begin(), buffer.end());
        float reference = std::numeric_limits<float>::infinity();
        const std::size_t recent = std::min(audioEnergy_.size(), referenceEntries);
        for (auto it = audioEnergy_.end() - static_cast<std::ptrdiff_t>(recent);
             it != audioEnergy_.end(); ++it) {
            reference = std::min(reference, it->avg);
        }
        // No reference yet (an infinite one) makes the first buffer of a capture 0.
        entry.rel = calculateRelativeEnergy(buffer, reference);
        const Energy energy = calculateEnergy(buffer);
        entry.avg = energy.avg;
        entry.max = energy.max;
        entry.min = energy.min;
        audioEnergy_.push_back(entry);
        callback = audioBufferCallback_;
        total = audioSamples_.size();
        const std::int64_t period = minBufferLength_ * relativeEnergyWindow_;
        logSize = period > 0 && total % static_cast<std::size_t>(period) == 0;
    }
    if (callback) {
        callback(buffer);
    }
    if (logSize) {
        Logging::debug(fmt::format(
            "Current audio size: {} samples, most recent buffer: {} samples, most recent energy: "
            "(rel: {}, avg: {}, max: {}, min: {})",
            total, buffer.size(), vevidocore::detail::renderFloatingPoint(entry.rel),
            vevidocore::detail::renderFloatingPoint(entry.avg),
            vevidocore::detail::renderFloatingPoint(entry.max),
            vevidocore::detail::renderFloatingPoint(entry.min)));
    }
}

// --- Capture ---------------------------------------------------------------------------------

std::optional<std::string> AudioProcessor::assignAudioInput(AudioCapture& capture,
                                                            std::uint32_t inputDeviceID) {
    try {
        for (const CaptureSource& source : capture.inputSources()) {
            if (source.index == inputDeviceID) {
                Logging::info("Successfully set input device.");
                return source.name;
            }
        }
        Logging::error(
            fmt::format("Error setting Audio Unit property: no input device {}", inputDeviceID));
    } catch (const std::exception& error) {
        Logging::error(std::string("Error setting Audio Unit property: ") + error.what());
    }
    return std::nullopt;  // the default source, as the device could not be bound
}

std::unique_ptr<AudioProcessor::Engine> AudioProcessor::setupEngine(
    std::optional<std::uint32_t> inputDeviceID) {
    const std::int64_t frames = minBufferLength();
    if (frames < 1 || frames > std::int64_t(std::numeric_limits<std::uint32_t>::max())) {
        throw WhisperError::audioProcessingFailed("Failed to create node format");
    }
    auto engine = std::make_unique<Engine>();
    engine->capture = AudioCapture::connect();
    std::optional<std::string> source;
    if (inputDeviceID) {
        source = assignAudioInput(*engine->capture, *inputDeviceID);
    }
    // Corked until the caller has put it in place, so no buffer lands in a history it is about
    // to clear.
    engine->stream = engine->capture->record(
        source, static_cast<std::uint32_t>(frames),
        [this](std::span<const float> samples) {
            std::vector<float> buffer(samples.begin(), samples.end());
            suppressInputIfNeeded(buffer);
            processBuffer(std::move(buffer));
        },
        /*paused=*/true);
    return engine;
}

void AudioProcessor::start(std::optional<std::uint32_t> inputDeviceID, BufferCallback callback,
                           std::function<void(std::exception_ptr)> onFinish) {
    std::function<void(std::exception_ptr)> endedStream;
    {
        std::lock_guard control(controlMutex_);
        clearHistory();
        std::unique_ptr<Engine> engine = setupEngine(inputDeviceID);
        std::unique_ptr<Engine> previous = std::exchange(audioEngine_, std::move(engine));
        previous.reset();
        // The capture replaced may have added to the history meanwhile.
        clearHistory();
        setAudioBufferCallback(std::move(callback));
        lastInputDevice_ = inputDeviceID;
        endedStream = std::exchange(streamFinish_, std::move(onFinish));
        try {
            audioEngine_->stream->setPaused(false);
        } catch (...) {
            audioEngine_.reset();
            streamFinish_ = nullptr;
            throw;
        }
    }
    if (endedStream) {
        endedStream(nullptr);
    }
}

void AudioProcessor::startRecordingLive(std::optional<std::uint32_t> inputDeviceID,
                                        BufferCallback callback) {
    start(inputDeviceID, std::move(callback), nullptr);
}

void AudioProcessor::startStreamingRecordingLive(std::optional<std::uint32_t> inputDeviceID,
                                                 BufferCallback onBuffer,
                                                 std::function<void(std::exception_ptr)> onFinish) {
    try {
        start(inputDeviceID, std::move(onBuffer), onFinish);
    } catch (...) {
        if (onFinish) {
            onFinish(std::current_exception());
        }
    }
}

void AudioProcessor::pauseRecording() {
    std::lock_guard control(controlMutex_);
    if (!audioEngine_) {
        return;
    }
    try {
        audioEngine_->stream->setPaused(true);
    } catch (const std::exception& error) {
        Logging::error(std::string("Failed to pause the capture: ") + error.what());
    }
}

void AudioProcessor::resumeRecordingLive(std::optional<std::uint32_t> inputDeviceID,
                                         BufferCallback callback) {
    {
        std::lock_guard control(controlMutex_);
        if (inputDeviceID == lastInputDevice_) {
            if (audioEngine_) {
                audioEngine_->stream->setPaused(false);
            }
        } else {
            std::unique_ptr<Engine> engine = setupEngine(inputDeviceID);
            std::exchange(audioEngine_, std::move(engine)).reset();
            audioEngine_->stream->setPaused(false);
        }
    }
    if (callback) {
        setAudioBufferCallback(std::move(callback));
    }
}

void AudioProcessor::stopRecording() {
    std::function<void(std::exception_ptr)> endedStream;
    {
        std::lock_guard control(controlMutex_);
        if (!audioEngine_) {
            return;
        }
        audioEngine_.reset();
        endedStream = std::exchange(streamFinish_, nullptr);
    }
    if (endedStream) {
        // The stream's consumer is gone with it: nothing is called with its buffers any more.
        setAudioBufferCallback(nullptr);
        endedStream(nullptr);
    }
}

std::optional<AudioProcessorOutputType> AudioProcessor::padOrTrim(
    const std::vector<float>& audioArray, std::int64_t startIndex, std::int64_t length) {
    const std::optional<std::span<const float>> samples =
        windowSamples(audioArray, startIndex, length);
    if (!samples) {
        Logging::error("startIndex is outside the buffer size");
        return std::nullopt;
    }
    // The samples go straight into the array, which starts zeroed: no window of its own size
    // first (a second pass over fresh memory, every window).
    ml::MultiArray array({length}, ml::MultiArrayDataType::float32);
    std::copy(samples->begin(), samples->end(), array.data<float>());
    return AudioProcessorOutputType(std::move(array));
}

}  // namespace rararozuvu
