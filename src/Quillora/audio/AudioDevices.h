#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rararozuvu/audio/AudioCapture.h"

namespace quillora {

// One microphone of the sound server.
struct AudioInputDevice {
    // The source's index on the server.
    std::uint32_t id = 0;
    // The source's name: stable, what a recording binds to.
    std::string uid;
    // What people call it.
    std::string name;

    friend bool operator==(const AudioInputDevice&, const AudioInputDevice&) = default;
};

// The microphones of the sound server, over the one connection the application shares. Every
// source that is not a monitor counts; the server's events keep the list current.
class AudioDevices {
public:
    // In the server's order; empty when the server cannot be reached.
    static std::vector<AudioInputDevice> inputs();
    // The first input that is built into the machine, or nothing.
    static std::optional<std::uint32_t> builtInInput();
    // Whether there is a microphone to record from: what the application checks for its
    // microphone permission.
    static bool hasInputDevice();

    // The application's connection, made afresh when the server went away or PULSE_SERVER now
    // names another. Throws rararozuvu::AudioCaptureError when no server can be reached.
    static std::shared_ptr<rararozuvu::AudioCapture> connection();
};

}  // namespace quillora
