// The two sounds made in code: short, within the volume, and without a click at either end.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "ui/Sounds.h"

namespace quillora {
namespace {

TEST(PulseSounds, ShortQuietAndClickFree) {
    for (DictationSound sound : {DictationSound::start, DictationSound::end}) {
        const std::vector<std::int16_t> samples = PulseSounds::samples(sound);
        const double seconds = static_cast<double>(samples.size()) / PulseSounds::sampleRate;
        EXPECT_GT(seconds, 0.03);
        EXPECT_LT(seconds, 0.15);
        int peak = 0;
        for (std::int16_t sample : samples) {
            peak = std::max(peak, std::abs(static_cast<int>(sample)));
        }
        EXPECT_GT(peak, 0.3 * 32767);
        EXPECT_LE(peak, PulseSounds::volume * 32767 + 1);
        // Rising from silence and decayed to near it.
        EXPECT_LT(std::abs(samples.front()), 0.01 * 32767);
        EXPECT_LT(std::abs(samples.back()), 0.05 * 32767);
    }
    EXPECT_NE(PulseSounds::samples(DictationSound::start),
              PulseSounds::samples(DictationSound::end));
}

}  // namespace
}  // namespace quillora
