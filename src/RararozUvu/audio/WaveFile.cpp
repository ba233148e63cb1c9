#include "WaveFile.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace rararozuvu {

namespace {

constexpr std::uint16_t formatPcm = 1;
constexpr std::uint16_t formatFloat = 3;
constexpr std::uint16_t formatExtensible = 0xFFFE;
// The rest of the extensible format's subformat identifier, after its two bytes of format code.
constexpr std::array<unsigned char, 14> subformatTail = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                         0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// Files with more channels than this, or more chunks before their samples, are unusual enough to
// leave to the general decoder.
constexpr int maxChannels = 64;
constexpr int maxChunksBeforeData = 64;

std::uint16_t u16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t u32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool readExactly(std::FILE* file, unsigned char* into, std::size_t count) {
    return std::fread(into, 1, count, file) == count;
}

struct Format {
    std::uint16_t code = 0;
    int channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bits = 0;
};

// The format chunk's fields, with an extensible format's subformat taken as its code. Nothing when
// the chunk is malformed or its extension says more than plain samples.
std::optional<Format> parseFormat(const unsigned char* chunk, std::uint32_t size) {
    if (size < 16) {
        return std::nullopt;
    }
    Format format{u16(chunk), u16(chunk + 2), u32(chunk + 4), u16(chunk + 12), u16(chunk + 14)};
    if (format.code == formatExtensible) {
        if (size < 40 || u16(chunk + 16) < 22 || u16(chunk + 18) != format.bits ||
            std::memcmp(chunk + 26, subformatTail.data(), subformatTail.size()) != 0) {
            return std::nullopt;
        }
        format.code = u16(chunk + 24);
    }
    return format;
}

std::optional<WaveFile::Encoding> encodingOf(const Format& format) {
    using Encoding = WaveFile::Encoding;
    if (format.code == formatPcm) {
        switch (format.bits) {
            case 8:
                return Encoding::unsigned8;
            case 16:
                return Encoding::signed16;
            case 24:
                return Encoding::signed24;
            case 32:
                return Encoding::signed32;
            default:
                return std::nullopt;
        }
    }
    if (format.code == formatFloat) {
        if (format.bits == 32) {
            return Encoding::float32;
        }
        if (format.bits == 64) {
            return Encoding::float64;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<WaveFile> WaveFile::open(const std::string& path, int minRate, int maxRate) {
    // Only regular files: a FIFO or a device would block the open.
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    WaveFile wave;
    wave.file_.reset(std::fopen(path.c_str(), "rb"));
    if (!wave.file_) {
        return std::nullopt;
    }
    std::FILE* file = wave.file_.get();
    unsigned char header[12];
    if (!readExactly(file, header, sizeof header) || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "WAVE", 4) != 0) {
        return std::nullopt;
    }
    const auto fileSize = static_cast<std::int64_t>(status.st_size);
    std::int64_t offset = sizeof header;
    std::optional<Format> format;
    for (int chunk = 0; chunk < maxChunksBeforeData; ++chunk) {
        unsigned char chunkHeader[8];
        if (!readExactly(file, chunkHeader, sizeof chunkHeader)) {
            return std::nullopt;
        }
        const std::uint32_t size = u32(chunkHeader + 4);
        offset += sizeof chunkHeader;
        if (size > fileSize - offset) {
            return std::nullopt;
        }
        if (std::memcmp(chunkHeader, "data", 4) == 0) {
            if (!format) {
                return std::nullopt;
            }
            const std::optional<Encoding> encoding = encodingOf(*format);
            if (!encoding || format->channels < 1 || format->channels > maxChannels ||
                format->sampleRate < static_cast<std::uint32_t>(minRate) ||
                format->sampleRate > static_cast<std::uint32_t>(maxRate)) {
                return std::nullopt;
            }
            wave.encoding_ = *encoding;
            wave.channels_ = format->channels;
            const std::size_t frameBytes = wave.bytesPerSample() * std::size_t(format->channels);
            // No data, or data that ends in part of a frame, is left to the general decoder's own
            // reading of it.
            if (format->blockAlign != frameBytes || size == 0 || size % frameBytes != 0) {
                return std::nullopt;
            }
            wave.sampleRate_ = static_cast<int>(format->sampleRate);
            wave.dataOffset_ = offset;
            wave.frames_ = static_cast<std::int64_t>(size / frameBytes);
            return wave;
        }
        // Chunks before the samples are padded to an even size; an odd one is an unusual file.
        if (size % 2 != 0) {
            return std::nullopt;
        }
        if (std::memcmp(chunkHeader, "fmt ", 4) == 0) {
            if (format || size > 64) {
                return std::nullopt;
            }
            unsigned char body[64];
            if (!readExactly(file, body, size) || !(format = parseFormat(body, size))) {
                return std::nullopt;
            }
        } else if (fseeko(file, static_cast<off_t>(size), SEEK_CUR) != 0) {
            return std::nullopt;
        }
        offset += size;
    }
    return std::nullopt;
}

std::size_t WaveFile::bytesPerSample() const noexcept {
    switch (encoding_) {
        case Encoding::unsigned8:
            return 1;
        case Encoding::signed16:
            return 2;
        case Encoding::signed24:
            return 3;
        case Encoding::signed32:
        case Encoding::float32:
            return 4;
        case Encoding::float64:
            return 8;
    }
    return 0;
}

void WaveFile::read(std::int64_t first, std::int64_t count, std::vector<unsigned char>& bytes) {
    const auto frameBytes = static_cast<std::int64_t>(bytesPerSample()) * channels_;
    bytes.resize(static_cast<std::size_t>(count * frameBytes));
    if (fseeko(file_.get(), static_cast<off_t>(dataOffset_ + first * frameBytes), SEEK_SET) != 0 ||
        !readExactly(file_.get(), bytes.data(), bytes.size())) {
        throw std::runtime_error(
            std::string("cannot read the audio file: ") +
            (std::ferror(file_.get()) ? std::strerror(errno) : "it ended early"));
    }
}

}  // namespace rararozuvu
