#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace rararozuvu {

// One microphone-like input of the sound server (a PulseAudio source, or PipeWire's through its
// pulse server). Monitors, the echoes of outputs, are never listed.
struct CaptureSource {
    // The server's number for it: our device identifier. It changes when the device comes back.
    std::uint32_t index = 0;
    // Stable across reconnections and restarts: streams are bound by it.
    std::string name;
    std::string description;
    // The "device.bus" and "device.form_factor" properties, empty when the server gives none.
    std::string bus;
    std::string formFactor;
    // The source's own format; the server converts it to ours.
    double sampleRate = 0;
    std::uint32_t channelCount = 0;

    bool isBluetooth() const { return bus == "bluetooth"; }
    bool isBuiltIn() const { return formFactor == "internal" || bus == "pci" || bus == "platform"; }

    friend bool operator==(const CaptureSource&, const CaptureSource&) = default;
};

// The sound server cannot be reached, does not answer in time, or refuses a stream.
class AudioCaptureError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A running record stream. Destroying it stops the capture: the samples of a fragment begun but
// not completed are delivered first, and no callback runs once the destructor has returned.
class CaptureStream {
public:
    virtual ~CaptureStream() = default;
    // Corks (true) or uncorks the stream. Once pausing returns, no further samples arrive until
    // the stream is resumed. Throws AudioCaptureError when the server does not answer.
    virtual void setPaused(bool paused) = 0;
};

// A connection to the sound server, with the list of its inputs kept up to date by the server's
// events. All members may be called from any thread except the capture callbacks'.
class AudioCapture {
public:
    // Receives 16 kHz mono float samples in fragments of exactly the requested length, on the
    // connection's own thread. It must return quickly and must not stop its own stream.
    using SampleCallback = std::function<void(std::span<const float>)>;

    static constexpr double sampleRate = 16000.0;
    // 0.1 s: every fragment the speech library measures is one tenth of a second.
    static constexpr std::uint32_t defaultFragmentFrames = 1600;
    // How long any answer of the server may take.
    static constexpr std::chrono::milliseconds answerTimeout{2000};

    virtual ~AudioCapture() = default;

    // False once the server has gone away; a new connection is needed then.
    virtual bool isConnected() const = 0;
    // The non-monitor sources in the server's order; read again after the server reported a
    // change. Throws AudioCaptureError when the server does not answer.
    virtual std::vector<CaptureSource> inputSources() = 0;
    // The name of the server's default source (which may be a monitor), or nothing.
    virtual std::optional<std::string> defaultSourceName() = 0;
    // Counts the server's reports of sources coming or going and of changes of its defaults.
    virtual std::uint64_t deviceChanges() const = 0;

    // Starts recording from the named source (the default source when none is named). The
    // stream starts corked when `paused` is true. Throws AudioCaptureError naming the source when
    // the server refuses.
    virtual std::unique_ptr<CaptureStream> record(const std::optional<std::string>& sourceName,
                                                  std::uint32_t fragmentFrames,
                                                  SampleCallback onSamples,
                                                  bool paused = false) = 0;

    // Connects to the server the environment names (PULSE_SERVER, else the user's own); never
    // starts one. Throws AudioCaptureError within answerTimeout when there is none.
    static std::shared_ptr<AudioCapture> connect(const std::string& clientName = "Quillora");
};

}  // namespace rararozuvu
