#pragma once

// The two short sounds of a dictation, made here rather than taken from a desktop theme that may
// not be installed: a bright tick when listening starts and a low pop when it ends. Played on the
// sound server's default output, each on a thread of its own, so a slow server never holds up
// the main thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <list>
#include <thread>
#include <vector>

#include "DictationController.h"

namespace quillora {

class PulseSounds final : public DictationSounds {
public:
    static constexpr std::uint32_t sampleRate = 48000;
    static constexpr float volume = 0.6f;

    PulseSounds() = default;
    // Waits for the sounds still playing (a tenth of a second at most each).
    ~PulseSounds() override;
    PulseSounds(const PulseSounds&) = delete;
    PulseSounds& operator=(const PulseSounds&) = delete;

    // Never fails: without a sound server nothing is heard.
    void play(DictationSound sound) override;

    // Mono 16-bit samples at sampleRate, volume applied.
    static std::vector<std::int16_t> samples(DictationSound sound);

private:
    static void playSamples(const std::vector<std::int16_t>& samples);

    struct Player {
        std::shared_ptr<std::atomic<bool>> done;
        std::jthread thread;
    };
    std::list<Player> players_;
};

}  // namespace quillora
