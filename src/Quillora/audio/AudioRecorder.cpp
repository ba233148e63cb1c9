#include "audio/AudioRecorder.h"

#include <QMetaObject>

#include <cmath>
#include <utility>

#include "audio/AudioDevices.h"

namespace quillora {

AudioRecorder::AudioRecorder(QObject* parent) : QObject(parent) {}

AudioRecorder::~AudioRecorder() {
    // No buffer may reach a recorder that is being taken apart.
    tap_.reset();
}

float AudioRecorder::rms(std::span<const float> samples) {
    if (samples.empty()) {
        return 0.0f;
    }
    float sum = 0.0f;
    for (float sample : samples) {
        sum += sample * sample;
    }
    return std::sqrt(sum / static_cast<float>(samples.size()));
}

std::optional<std::uint32_t> AudioRecorder::preferredDevice(bool avoidBluetooth) {
    if (!avoidBluetooth) {
        return std::nullopt;
    }
    try {
        const std::shared_ptr<rararozuvu::AudioCapture> server = AudioDevices::connection();
        const std::optional<std::string> name = server->defaultSourceName();
        if (!name) {
            return std::nullopt;
        }
        for (const rararozuvu::CaptureSource& source : server->inputSources()) {
            if (source.name == *name) {
                return source.isBluetooth() ? AudioDevices::builtInInput() : std::nullopt;
            }
        }
    } catch (const std::exception&) {
        // No server: the start says so.
    }
    return std::nullopt;
}

AudioRecorder::Format AudioRecorder::currentFormat() const {
    const std::optional<std::string> name =
        engineSource_ ? engineSource_ : engine_->defaultSourceName();
    if (!name) {
        return {};
    }
    for (const rararozuvu::CaptureSource& source : engine_->inputSources()) {
        if (source.name == *name) {
            return {source.sampleRate, source.channelCount};
        }
    }
    return {};  // gone, or the default is a monitor: no microphone
}

void AudioRecorder::rebuild(std::optional<std::uint32_t> device) {
    tap_.reset();
    engine_.reset();
    engineDevice_.reset();
    engineSource_.reset();
    engineFormat_.reset();

    std::shared_ptr<rararozuvu::AudioCapture> engine = AudioDevices::connection();
    // Read first: a change that comes while we look must still be seen at the next start.
    engineChanges_ = engine->deviceChanges();
    if (device) {
        for (const rararozuvu::CaptureSource& source : engine->inputSources()) {
            if (source.index == *device) {
                engineDevice_ = device;
                engineSource_ = source.name;
            }
        }
    }
    engine_ = std::move(engine);
    engineFormat_ = currentFormat();
    needsRebuild_ = false;
}

void AudioRecorder::start(bool avoidBluetooth) {
    // Never two captures at once: a recording still running ends here, its samples dropped.
    tap_.reset();
    isRecording_ = false;
    {
        std::lock_guard lock(lock_);
        samples_.clear();
    }
    try {
        // Without a server, one clear error now rather than a wait for each look-up below.
        AudioDevices::connection();
        const std::optional<std::uint32_t> device = preferredDevice(avoidBluetooth);
        if (engine_ && (!engine_->isConnected() || engine_->deviceChanges() != engineChanges_)) {
            needsRebuild_ = true;
        }
        if (needsRebuild_ || !engine_ || device != engineDevice_) {
            rebuild(device);
        }
        Format format = currentFormat();
        if (!engineFormat_ || !(*engineFormat_ == format)) {
            rebuild(device);
            format = currentFormat();
        }
        if (!(format.sampleRate > 0) || format.channelCount == 0) {
            needsRebuild_ = true;
            throw RecorderError::noInputDevice();
        }
        tap_ = engine_->record(engineSource_, bufferFrames,
                               [this](std::span<const float> buffer) { process(buffer); });
    } catch (...) {
        needsRebuild_ = true;
        throw;
    }
    isRecording_ = true;
}

std::vector<float> AudioRecorder::stop() {
    if (isRecording_) {
        // Hands over the last, partly filled buffer before it closes.
        tap_.reset();
    }
    isRecording_ = false;
    std::lock_guard lock(lock_);
    return std::exchange(samples_, {});
}

void AudioRecorder::process(std::span<const float> buffer) {
    const float level = rms(buffer);
    {
        std::lock_guard lock(lock_);
        samples_.insert(samples_.end(), buffer.begin(), buffer.end());
    }
    // Queued to this object: dropped, not run, once the recorder is gone.
    QMetaObject::invokeMethod(
        this,
        [this, level] {
            if (onLevel) {
                onLevel(level);
            }
        },
        Qt::QueuedConnection);
}

}  // namespace quillora
