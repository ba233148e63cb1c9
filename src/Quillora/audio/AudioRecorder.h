#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "rararozuvu/audio/AudioCapture.h"

namespace quillora {

// The recorder's own failure: nothing to record from.
class RecorderError : public std::runtime_error {
public:
    enum class Case { noInputDevice };

    static RecorderError noInputDevice() {
        return RecorderError(Case::noInputDevice, "No microphone input is available.");
    }
    Case errorCase() const noexcept { return case_; }

private:
    RecorderError(Case c, const std::string& message) : std::runtime_error(message), case_(c) {}
    Case case_;
};

// Records the microphone for the length of one dictation and hands back 16 kHz mono samples,
// with a level for every buffer so the overlay can move.
//
// The bound source and its format outlive recordings: they are looked up again only when the
// wanted device or the source's format changed, the server reported devices coming, going or a
// new default, or a start failed. Each start opens a fresh record stream; each stop closes it.
//
// start() and stop() belong to the thread the recorder lives on (the main thread); the samples
// arrive on the capture thread and are kept under a lock; levels come back through queued calls.
class AudioRecorder : public QObject {
    Q_OBJECT

public:
    // 0.1 s per buffer: ten levels a second.
    static constexpr std::uint32_t bufferFrames = 1600;

    explicit AudioRecorder(QObject* parent = nullptr);
    ~AudioRecorder() override;

    // Hears each buffer's level (its root mean square; full scale is 1) on the recorder's thread.
    std::function<void(float)> onLevel;

    // Starts recording, stopping a recording still running first, so there are never two
    // captures at once. With avoidBluetooth, a Bluetooth default input gives way to the built-in
    // microphone. Throws RecorderError (noInputDevice) when there is no input to record from,
    // and rararozuvu::AudioCaptureError when the sound server cannot be reached or refuses; the
    // next start looks everything up again.
    void start(bool avoidBluetooth);
    // The samples recorded since the start, taken out; stops the recording. Never fails.
    std::vector<float> stop();
    bool isRecording() const { return isRecording_; }

    // 0 for no samples.
    static float rms(std::span<const float> samples);
    // The input to bind, or nothing for the server's default.
    static std::optional<std::uint32_t> preferredDevice(bool avoidBluetooth);

private:
    struct Format {
        double sampleRate = 0;
        std::uint32_t channelCount = 0;

        friend bool operator==(const Format&, const Format&) = default;
    };

    void rebuild(std::optional<std::uint32_t> device);
    // The format of the bound source, or of the default when that is an input; zeros when there
    // is no such source.
    Format currentFormat() const;
    void process(std::span<const float> buffer);

    std::shared_ptr<rararozuvu::AudioCapture> engine_;
    std::optional<std::uint32_t> engineDevice_;
    std::optional<std::string> engineSource_;
    std::optional<Format> engineFormat_;
    // The server's count of device changes when the engine was built.
    std::uint64_t engineChanges_ = 0;
    bool needsRebuild_ = true;
    bool isRecording_ = false;
    std::unique_ptr<rararozuvu::CaptureStream> tap_;

    std::mutex lock_;  // guards samples_
    std::vector<float> samples_;
};

}  // namespace quillora
