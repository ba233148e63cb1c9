#include "ui/Sounds.h"

#include <pulse/simple.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <stdexcept>

#include "vevidocore/SharedLibrary.h"

namespace quillora {

namespace {

// The functions used, as in the header less their "pa_" prefix.
#define QUILLORA_PULSE_SIMPLE_FUNCTIONS(X) \
    X(simple_new)                          \
    X(simple_write)                        \
    X(simple_drain)                        \
    X(simple_free)

struct PulseSimpleApi {
#define QUILLORA_PULSE_POINTER(name) decltype(&::pa_##name) name = nullptr;
    QUILLORA_PULSE_SIMPLE_FUNCTIONS(QUILLORA_PULSE_POINTER)
#undef QUILLORA_PULSE_POINTER
};

// Opened when the first sound plays, not at start: the library pulls in many others.
const PulseSimpleApi& pulseSimple() {
    static PulseSimpleApi api;
    static vevidocore::LoadOnce loading;
    loading([] {
        const vevidocore::SharedLibrary library("libpulse-simple.so.0", "PulseAudio");
#define QUILLORA_PULSE_RESOLVE(name) library.resolve("pa_" #name, api.name);
        QUILLORA_PULSE_SIMPLE_FUNCTIONS(QUILLORA_PULSE_RESOLVE)
#undef QUILLORA_PULSE_RESOLVE
    });
    return api;
}

// A decaying sine whose pitch glides from `from` to `to` hertz.
std::vector<std::int16_t> tone(double from, double to, double seconds, double decay) {
    const auto count = static_cast<std::size_t>(seconds * PulseSounds::sampleRate);
    std::vector<std::int16_t> samples(count);
    double phase = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / PulseSounds::sampleRate;
        const double frequency = from + (to - from) * t / seconds;
        phase += 2 * std::numbers::pi * frequency / PulseSounds::sampleRate;
        // A 2 ms fade-in keeps the start from clicking.
        const double attack = std::min(1.0, t / 0.002);
        const double value = std::sin(phase) * std::exp(-t / decay) * attack * PulseSounds::volume;
        samples[i] = static_cast<std::int16_t>(std::clamp(value, -1.0, 1.0) * 32767.0);
    }
    return samples;
}

}  // namespace

PulseSounds::~PulseSounds() = default;

std::vector<std::int16_t> PulseSounds::samples(DictationSound sound) {
    switch (sound) {
        case DictationSound::start:
            return tone(1760, 1900, 0.09, 0.025);
        case DictationSound::end:
            return tone(520, 260, 0.08, 0.02);
    }
    return {};
}

void PulseSounds::play(DictationSound sound) {
    // Players that are done are joined the next time round.
    players_.remove_if([](const Player& player) { return player.done->load(); });
    auto done = std::make_shared<std::atomic<bool>>(false);
    players_.push_back({done, std::jthread([done, samples = samples(sound)] {
        playSamples(samples);
        done->store(true);
    })});
}

void PulseSounds::playSamples(const std::vector<std::int16_t>& samples) {
    const PulseSimpleApi* pulse = nullptr;
    try {
        pulse = &pulseSimple();
    } catch (const std::runtime_error&) {
        return;  // no sound library: as without a sound server, nothing is heard
    }
    const pa_sample_spec format{PA_SAMPLE_S16LE, sampleRate, 1};
    int error = 0;
    const std::unique_ptr<pa_simple, decltype(pulse->simple_free)> stream(
        pulse->simple_new(nullptr, "Quillora", PA_STREAM_PLAYBACK, nullptr, "dictation sound",
                          &format, nullptr, nullptr, &error),
        pulse->simple_free);
    if (!stream) {
        return;
    }
    pulse->simple_write(stream.get(), samples.data(), samples.size() * sizeof(std::int16_t),
                        &error);
    pulse->simple_drain(stream.get(), &error);
}

}  // namespace quillora
