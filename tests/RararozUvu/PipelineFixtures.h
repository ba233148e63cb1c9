#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "DecodingFixtures.h"
#include "rararozuvu/RararozUvu.h"

namespace rararozuvu::testing {

// Options that keep random weights quick: they would otherwise decode every window to the token
// limit, several times over.
// A fresh folder under the system's temporary folder, removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "quillora-pipe-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot create a temporary folder");
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline DecodingOptions quickOptions(DecodingOptions::Parameters parameters = {}) {
    parameters.sampleLength = 4;
    parameters.temperatureFallbackCount = 0;
    return DecodingOptions(parameters);
}

inline RararozUvuConfig tinyModelConfig() {
    return RararozUvuConfig{.modelFolder = tinyModelFolder().string(), .verbose = false};
}

// A facade over the converted tiny model, loaded once per test program. Tests that change its
// callbacks put them back.
inline RararozUvu& loadedFacade() {
    static const std::unique_ptr<RararozUvu> facade = RararozUvu::create(tinyModelConfig());
    return *facade;
}

// Quiet noise: the energy detector hears it as silence.
inline std::vector<float> quietNoise(std::int64_t count, std::uint32_t seed = 1) {
    std::vector<float> samples(static_cast<std::size_t>(count));
    for (float& s : samples) {
        seed = seed * 1664525u + 1013904223u;
        s = (static_cast<float>(seed >> 8) / 16777216.0f - 0.5f) * 0.002f;
    }
    return samples;
}

// A loud tone the energy detector hears as speech.
inline std::vector<float> tone(std::int64_t count) {
    std::vector<float> samples(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = 0.3f * static_cast<float>(
                                std::sin(2.0 * 3.14159265358979 * 440.0 * double(i) / 16000.0));
    }
    return samples;
}

}  // namespace rararozuvu::testing
