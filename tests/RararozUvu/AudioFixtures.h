#pragma once

// Audio files made on the spot for the loading tests: a small WAV writer of our own, and sox and
// the ffmpeg tool for the compressed formats.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

namespace rararozuvu::testing {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quillora-audio-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary folder");
        }
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

using Channels = std::vector<std::vector<float>>;

inline std::vector<float> sine(double rate, double frequency, std::int64_t frames,
                               float amplitude = 0.5f, double phase = 0.0) {
    std::vector<float> samples(static_cast<std::size_t>(frames));
    for (std::int64_t i = 0; i < frames; ++i) {
        samples[static_cast<std::size_t>(i)] = static_cast<float>(
            amplitude * std::sin(2 * std::numbers::pi * frequency * double(i) / rate + phase));
    }
    return samples;
}

// Writes 16-bit PCM; every channel must have the same length.
inline void writeWav(const std::string& path, int rate, const Channels& channels) {
    const auto count = static_cast<std::uint16_t>(channels.size());
    const auto frames = static_cast<std::uint32_t>(channels.empty() ? 0 : channels[0].size());
    const std::uint32_t dataBytes = frames * count * 2;
    std::ofstream out(path, std::ios::binary);
    const auto u32 = [&out](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&out](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(count);
    u32(static_cast<std::uint32_t>(rate));
    u32(static_cast<std::uint32_t>(rate) * count * 2);
    u16(static_cast<std::uint16_t>(count * 2));
    u16(16);
    out.write("data", 4);
    u32(dataBytes);
    for (std::uint32_t i = 0; i < frames; ++i) {
        for (const auto& channel : channels) {
            const float clamped = std::fmax(-1.0f, std::fmin(1.0f, channel[i]));
            u16(static_cast<std::uint16_t>(
                static_cast<std::int16_t>(std::lround(std::fmin(clamped * 32768.0f, 32767.0f)))));
        }
    }
}

// A canonical 44-byte WAV header: format 1 is integer PCM, 3 is IEEE float. The sizes are
// whatever the caller claims, so a header may promise more than follows it.
inline std::string wavHeader(std::uint32_t rate, std::uint16_t channels, std::uint16_t bits,
                             std::uint16_t format, std::uint32_t dataBytes) {
    std::string h;
    const auto u32 = [&h](std::uint32_t v) { h.append(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&h](std::uint16_t v) { h.append(reinterpret_cast<const char*>(&v), 2); };
    const auto frameBytes = static_cast<std::uint16_t>(channels * bits / 8);
    h += "RIFF";
    u32(36 + dataBytes);
    h += "WAVEfmt ";
    u32(16);
    u16(format);
    u16(channels);
    u32(rate);
    u32(rate * frameBytes);
    u16(frameBytes);
    u16(bits);
    h += "data";
    u32(dataBytes);
    return h;
}

// Mono 32-bit float samples written as they are, unclamped.
inline void writeFloatWav(const std::string& path, std::uint32_t rate,
                          const std::vector<float>& samples) {
    std::ofstream out(path, std::ios::binary);
    const std::string header =
        wavHeader(rate, 1, 32, 3, static_cast<std::uint32_t>(samples.size() * 4));
    out.write(header.data(), std::streamsize(header.size()));
    out.write(reinterpret_cast<const char*>(samples.data()), std::streamsize(samples.size() * 4));
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

// Runs sox with the given arguments (already quoted where needed).
inline void sox(const std::string& arguments) {
    const std::string command = "sox " + arguments + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// Runs the ffmpeg command-line tool, for the lossy formats sox cannot write.
inline void ffmpeg(const std::string& arguments) {
    const std::string command = "ffmpeg -v error -nostdin -y " + arguments + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// One second of FLAC whose stream information claims 2^36 - 1 samples, about 50 days at 16 kHz.
inline void writeFlacClaimingDays(const std::string& path) {
    sox("-n -r 16000 -c 1 -b 16 " + path + " trim 0 1");
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    // The 36-bit sample count fills the low half of byte 21 and bytes 22 to 25.
    char total[5];
    file.seekg(21);
    file.read(total, 5);
    total[0] = static_cast<char>(total[0] | 0x0F);
    std::fill(total + 1, total + 5, '\xff');
    file.seekp(21);
    file.write(total, 5);
}

inline std::string sharedAudio(const std::string& name) {
    return std::string(QUILLORA_SHARED_DIR) + "/data/audio/" + name;
}

}  // namespace rararozuvu::testing
