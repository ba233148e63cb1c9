#pragma once

// A private PulseAudio server for one test: its own folder for the socket, the FIFOs and the
// server's state, no user configuration, never autospawned. While it lives, PULSE_SERVER points
// the test process at it (and the client's cookie and configuration into its folder, so nothing
// lands in the user's home).
//
// Its inputs, in the server's order:
//   "sine"     module-sine-source: a 440 Hz sine of amplitude 0.5 at 16 kHz, sent in blocks of
//              2 s (its fixed latency), so it says nothing about pacing
//   "tone"     the same sine, written by this object in real time, 10 ms at a time: a
//              microphone in a room with a tuning fork (the default source at start)
//   "headset"  a Bluetooth headset (device.bus "bluetooth"), silent
//   "builtin"  a built-in microphone (device.form_factor "internal"), silent
//   "pipe"     16-bit 16 kHz samples written into pipePath(); it delivers them as fast as they
//              come, so a test that means real time paces its writes (writePipe)
// and the monitor of the null sink "speaker", which is an echo of an output and no input.

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"

namespace quillora::testing {

class PulseServer {
public:
    static constexpr float sineAmplitude = 0.5f;
    static constexpr double sineFrequency = 440.0;

    PulseServer();  // throws when the server is not up within 10 s
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // As PULSE_SERVER names it: "unix:<folder>/native".
    const std::string& address() const { return address_; }
    std::filesystem::path pipePath() const { return folder_ / "pipe.fifo"; }

    // Runs pactl against this server: its exit code (-1 when it could not run in time) and
    // output.
    RunResult pactl(const std::vector<std::string>& arguments) const;

    // Writes samples (as 16-bit, clipped) into the pipe source; in real time when `paced`: each
    // 20 ms piece no earlier than its moment after the start of the call.
    void writePipe(std::span<const float> samples, bool paced) const;

    // Stops the server now (the destructor does it otherwise).
    void stop();

private:
    std::filesystem::path folder_;
    std::string address_;
    std::unique_ptr<ChildProcess> process_;
    int toneFd_ = -1;
    std::jthread toneWriter_;
    std::map<std::string, std::optional<std::string>> savedEnvironment_;
};

}  // namespace quillora::testing
