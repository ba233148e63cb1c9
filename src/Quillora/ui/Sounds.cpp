#include "ui/Sounds.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>

namespace quillora {

namespace {

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
    const pa_sample_spec format{PA_SAMPLE_S16LE, sampleRate, 1};
    int error = 0;
    const std::unique_ptr<pa_simple, decltype(&pa_simple_free)> stream(
        pa_simple_new(nullptr, "Quillora", PA_STREAM_PLAYBACK, nullptr, "dictation sound", &format,
                      nullptr, nullptr, &error),
        &pa_simple_free);
    if (!stream) {
        return;
    }
    pa_simple_write(stream.get(), samples.data(), samples.size() * sizeof(std::int16_t), &error);
    pa_simple_drain(stream.get(), &error);
}

}  // namespace quillora
