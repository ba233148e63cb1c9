#pragma once

// Plain PCM and float WAV files, read straight from the file. Loading the general decoding
// libraries costs a fresh process tens of milliseconds and the many libraries they pull in; the
// commonest input, a well-formed WAV, needs none of that. Only files whose layout leaves no room
// for interpretation are taken: anything unusual, damaged or truncated is left to the general
// decoder, so that such files behave exactly as before.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rararozuvu {

class WaveFile {
public:
    // How samples are stored: unsigned 8-bit, signed 16, 24 and 32-bit integers, 32 and 64-bit
    // floats, all little-endian and interleaved.
    enum class Encoding { unsigned8, signed16, signed24, signed32, float32, float64 };

    // The file as a plain WAV, or nothing when it is not one (not a regular file, another
    // container or codec, an unusual or damaged header, data the header does not account for
    // exactly). Sample rates outside minRate...maxRate are left to the general decoder too.
    static std::optional<WaveFile> open(const std::string& path, int minRate, int maxRate);

    int sampleRate() const noexcept { return sampleRate_; }
    int channels() const noexcept { return channels_; }
    Encoding encoding() const noexcept { return encoding_; }
    std::int64_t frames() const noexcept { return frames_; }

    // Reads `count` frames from frame `first` (both within the file) into `bytes`, as stored.
    // Throws std::runtime_error when the file cannot be read.
    void read(std::int64_t first, std::int64_t count, std::vector<unsigned char>& bytes);

    std::size_t bytesPerSample() const noexcept;

private:
    struct Closer {
        void operator()(std::FILE* file) const noexcept { std::fclose(file); }
    };

    std::unique_ptr<std::FILE, Closer> file_;
    int sampleRate_ = 0;
    int channels_ = 0;
    Encoding encoding_ = Encoding::signed16;
    std::int64_t dataOffset_ = 0;
    std::int64_t frames_ = 0;
};

}  // namespace rararozuvu
