#include "rararozuvu/audio/AudioFile.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "WaveFile.h"
#include "platform/FFmpeg.h"
#include "rararozuvu/audio/AudioProcessor.h"
#include "rararozuvu/results/WhisperError.h"

namespace rararozuvu {

namespace {

using namespace platform;

// Outside these rates no real recording lies; a header claiming 1 Hz would make the resampler
// multiply a small file into gigabytes, and the filter for a larger ratio would be huge.
constexpr int minSampleRate = 1000;
constexpr int maxSampleRate = 768000;
// The longest audio a file may decode to. A header claiming more is refused before anything is
// allocated for it.
constexpr std::int64_t maxDurationSeconds = 24 * 60 * 60;
// A decoder that rejects this many packets in a row has no audio left to give.
constexpr int maxConsecutiveDecodeErrors = 64;
// The most frames a read takes room for before it decodes them: 30 s at 44.1 kHz.
constexpr std::uint32_t reservedFramesAtMost = 1323000;
// Forward moves up to this many seconds decode and drop frames instead of seeking the container.
constexpr double decodeForwardSeconds = 30.0;

WhisperError openError(const std::string& path, const std::string& reason) {
    return WhisperError::loadAudioFailed("Failed to open audio file " + path + ": " + reason);
}

WhisperError readError(const std::string& reason) {
    return WhisperError::loadAudioFailed(reason);
}

WhisperError nonFiniteError(const std::string& path) {
    return readError("Audio file " + path + " holds samples that are not finite numbers");
}

// Integer samples as floats in -1...1. Both readers convert through these, so that a file reads
// the same whichever of them reads it.
float fromUnsigned8(std::uint8_t x) {
    return (float(x) - 128.0f) / 128.0f;
}
float fromSigned16(std::int16_t x) {
    return float(x) / 32768.0f;
}
float fromSigned32(std::int32_t x) {
    return float(x) / 2147483648.0f;
}

// Copies `count` samples from `offset` of every channel of a decoded frame to `planes`, as floats
// in -1...1.
template <typename T, typename Convert>
void copyFrame(const AVFrame& frame, bool planar, int channels, int offset, int count,
               std::span<float* const> planes, Convert convert) {
    for (int c = 0; c < channels; ++c) {
        float* out = planes[c];
        if (planar) {
            const T* in = reinterpret_cast<const T*>(frame.extended_data[c]) + offset;
            for (int i = 0; i < count; ++i) {
                out[i] = convert(in[i]);
            }
        } else {
            const T* in = reinterpret_cast<const T*>(frame.extended_data[0]) +
                          static_cast<std::ptrdiff_t>(offset) * channels + c;
            for (int i = 0; i < count; ++i) {
                out[i] = convert(in[static_cast<std::ptrdiff_t>(i) * channels]);
            }
        }
    }
}

// Float samples that are not numbers would poison every stage after this one; finite ones beyond
// full scale are clamped, as integer formats are by their range.
template <typename T>
float finiteSample(T x, bool& nonFinite) {
    if (!std::isfinite(x)) {
        nonFinite = true;
        return 0.0f;
    }
    return static_cast<float>(std::clamp<T>(x, -1, 1));
}

void copyFrameAsFloat(const std::string& path, const AVFrame& frame, int channels, int offset,
                      int count, std::span<float* const> planes) {
    bool nonFinite = false;
    const auto format = static_cast<AVSampleFormat>(frame.format);
    const bool planar = ffmpeg().av_sample_fmt_is_planar(format) != 0;
    switch (ffmpeg().av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_U8:
            copyFrame<std::uint8_t>(frame, planar, channels, offset, count, planes, fromUnsigned8);
            break;
        case AV_SAMPLE_FMT_S16:
            copyFrame<std::int16_t>(frame, planar, channels, offset, count, planes, fromSigned16);
            break;
        case AV_SAMPLE_FMT_S32:
            copyFrame<std::int32_t>(frame, planar, channels, offset, count, planes, fromSigned32);
            break;
        case AV_SAMPLE_FMT_S64:
            copyFrame<std::int64_t>(
                frame, planar, channels, offset, count, planes,
                [](std::int64_t x) { return float(double(x) / 9223372036854775808.0); });
            break;
        case AV_SAMPLE_FMT_FLT:
            copyFrame<float>(frame, planar, channels, offset, count, planes,
                             [&](float x) { return finiteSample(x, nonFinite); });
            break;
        case AV_SAMPLE_FMT_DBL:
            copyFrame<double>(frame, planar, channels, offset, count, planes,
                              [&](double x) { return finiteSample(x, nonFinite); });
            break;
        default:
            throw readError("Unsupported sample format in audio stream");
    }
    if (nonFinite) {
        throw nonFiniteError(path);
    }
}

// Copies `count` interleaved frames as a plain WAV file stores them to `planes`, as floats in
// -1...1. A 24-bit sample is read as the top three bytes of a 32-bit one, as decoders give it.
void copyWaveFrames(const std::string& path, WaveFile::Encoding encoding, int channels,
                    const unsigned char* bytes, std::size_t count, std::span<float* const> planes) {
    using Encoding = WaveFile::Encoding;
    bool nonFinite = false;
    const auto copy = [&]<typename T, std::size_t size>(auto convert) {
        const std::size_t stride = size * static_cast<std::size_t>(channels);
        for (int c = 0; c < channels; ++c) {
            float* out = planes[c];
            const unsigned char* in = bytes + size * static_cast<std::size_t>(c);
            for (std::size_t i = 0; i < count; ++i, in += stride) {
                T x{};
                if constexpr (size == 3) {
                    x = static_cast<std::int32_t>(std::uint32_t{in[0]} << 8 |
                                                  std::uint32_t{in[1]} << 16 |
                                                  std::uint32_t{in[2]} << 24);
                } else {
                    std::memcpy(&x, in, size);
                }
                out[i] = convert(x);
            }
        }
    };
    switch (encoding) {
        case Encoding::unsigned8:
            copy.operator()<std::uint8_t, 1>(fromUnsigned8);
            break;
        case Encoding::signed16:
            copy.operator()<std::int16_t, 2>(fromSigned16);
            break;
        case Encoding::signed24:
            copy.operator()<std::int32_t, 3>(fromSigned32);
            break;
        case Encoding::signed32:
            copy.operator()<std::int32_t, 4>(fromSigned32);
            break;
        case Encoding::float32:
            copy.operator()<float, 4>([&](float x) { return finiteSample(x, nonFinite); });
            break;
        case Encoding::float64:
            copy.operator()<double, 8>([&](double x) { return finiteSample(x, nonFinite); });
            break;
    }
    if (nonFinite) {
        throw nonFiniteError(path);
    }
}

struct DictionaryFreer {
    void operator()(AVDictionary* p) const noexcept { ffmpeg().av_dict_free(&p); }
};

// FFmpeg's decoding functions, or the error that they cannot be loaded for this file.
const FFmpegApi& decodingFunctions(const std::string& path) {
    try {
        return ffmpegForDecoding();
    } catch (const std::runtime_error& error) {
        throw openError(path, error.what());
    }
}

// One pass of decoding through the file's audio stream.
struct Decoder {
    // First: every member after it calls into the libraries.
    const FFmpegApi& av;
    FormatContext format;
    CodecContext codec;
    Packet packet;
    Frame frame;
    int stream = -1;
    bool draining = false;
    bool ended = false;
    bool frameHeld = false;
    int frameOffset = 0;  // samples of the held frame already handed out
    std::int64_t framesDecoded = 0;
    int consecutiveErrors = 0;
    int lastError = 0;

    explicit Decoder(const std::string& path)
        : av(checkedRegularFile(path)), packet(av.av_packet_alloc()), frame(av.av_frame_alloc()) {
        if (!packet || !frame) {
            throw openError(path, "out of memory");
        }
        // Only plain files: a playlist-like container must not make the decoder reach elsewhere.
        AVDictionary* rawOptions = nullptr;
        ffmpeg().av_dict_set(&rawOptions, "protocol_whitelist", "file", 0);
        std::unique_ptr<AVDictionary, DictionaryFreer> options(rawOptions);
        AVFormatContext* rawFormat = nullptr;
        const std::string url = "file:" + path;
        rawOptions = options.release();
        int result = ffmpeg().avformat_open_input(&rawFormat, url.c_str(), nullptr, &rawOptions);
        options.reset(rawOptions);
        if (result < 0) {
            throw openError(path, errorText(result));
        }
        format.reset(rawFormat);
        if ((result = ffmpeg().avformat_find_stream_info(format.get(), nullptr)) < 0) {
            throw openError(path, errorText(result));
        }
        const AVCodec* decoder = nullptr;
        stream =
            ffmpeg().av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
        if (stream < 0) {
            throw openError(
                path, stream == AVERROR_STREAM_NOT_FOUND ? "no audio stream" : errorText(stream));
        }
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            if (static_cast<int>(i) != stream) {
                format->streams[i]->discard = AVDISCARD_ALL;
            }
        }
        codec.reset(ffmpeg().avcodec_alloc_context3(decoder));
        if (!codec) {
            throw openError(path, "out of memory");
        }
        if ((result = ffmpeg().avcodec_parameters_to_context(
                 codec.get(), format->streams[stream]->codecpar)) < 0 ||
            (result = ffmpeg().avcodec_open2(codec.get(), decoder, nullptr)) < 0) {
            throw openError(path, errorText(result));
        }
        if (codec->sample_rate < minSampleRate || codec->sample_rate > maxSampleRate) {
            throw openError(path, fmt::format("unsupported sample rate of {} Hz (audio files have "
                                              "{} Hz to {} Hz)",
                                              codec->sample_rate, minSampleRate, maxSampleRate));
        }
        if (codec->ch_layout.nb_channels <= 0) {
            throw openError(path, "no audio channels");
        }
    }

    // A FIFO or a device would block the open for as long as nobody writes to it.
    static const FFmpegApi& checkedRegularFile(const std::string& path) {
        std::error_code statError;
        const auto type = std::filesystem::status(path, statError).type();
        if (!statError && type != std::filesystem::file_type::regular) {
            throw openError(path, "not a regular file");
        }
        return decodingFunctions(path);
    }

    int available() const { return frameHeld ? frame->nb_samples - frameOffset : 0; }

    // Decodes the next frame; false at the end of the stream. Packets the decoder rejects are
    // skipped, as players do, unless nothing at all decodes.
    bool next(int sampleRate, int channels) {
        frameHeld = false;
        ffmpeg().av_frame_unref(frame.get());
        while (!ended) {
            int result = ffmpeg().avcodec_receive_frame(codec.get(), frame.get());
            if (result >= 0) {
                if (frame->sample_rate != sampleRate || frame->ch_layout.nb_channels != channels) {
                    throw readError("Audio format changes within the file");
                }
                if (frame->nb_samples <= 0) {
                    ffmpeg().av_frame_unref(frame.get());
                    continue;
                }
                ++framesDecoded;
                consecutiveErrors = 0;
                frameHeld = true;
                frameOffset = 0;
                return true;
            }
            if (result == AVERROR_EOF) {
                ended = true;
                break;
            }
            if (result != AVERROR(EAGAIN)) {
                rejected(result);
                continue;
            }
            if (draining) {
                ended = true;
                break;
            }
            result = ffmpeg().av_read_frame(format.get(), packet.get());
            if (result < 0) {
                // A damaged or truncated tail ends the stream where the good audio ends.
                if (result != AVERROR_EOF) {
                    lastError = result;
                }
                ffmpeg().avcodec_send_packet(codec.get(), nullptr);
                draining = true;
                continue;
            }
            if (packet->stream_index == stream) {
                result = ffmpeg().avcodec_send_packet(codec.get(), packet.get());
                if (result < 0 && result != AVERROR(EAGAIN)) {
                    rejected(result);
                }
            }
            ffmpeg().av_packet_unref(packet.get());
        }
        if (framesDecoded == 0 && lastError != 0) {
            throw readError(errorText(lastError));
        }
        return false;
    }

    void rejected(int result) {
        if (result == AVERROR(ENOMEM) || ++consecutiveErrors > maxConsecutiveDecodeErrors) {
            throw readError(errorText(result));
        }
        lastError = result;
    }

    // Forgets decoder state after the container moved.
    void restartAfterSeek() {
        ffmpeg().avcodec_flush_buffers(codec.get());
        ffmpeg().av_frame_unref(frame.get());
        frameHeld = false;
        draining = false;
        ended = false;
    }
};

}  // namespace

struct AudioFile::Impl {
    std::string path;
    // A plain WAV file is read directly; every other file through the decoder.
    std::optional<WaveFile> wave;
    std::vector<unsigned char> waveBytes;
    std::unique_ptr<Decoder> decoder;
    int sampleRate = 0;
    int channels = 0;
    std::int64_t length = 0;
    std::int64_t position = 0;
    std::optional<std::int64_t> pendingSeek;

    explicit Impl(std::string p)
        : path(std::move(p)), wave(WaveFile::open(path, minSampleRate, maxSampleRate)) {
        if (wave) {
            sampleRate = wave->sampleRate();
            channels = wave->channels();
            length = wave->frames();
        } else {
            decoder = std::make_unique<Decoder>(path);
            sampleRate = decoder->codec->sample_rate;
            channels = decoder->codec->ch_layout.nb_channels;
            length = measureLength();
        }
        if (length / sampleRate > maxDurationSeconds) {
            throw openError(path, fmt::format("the audio lasts longer than {} hours",
                                              maxDurationSeconds / 3600));
        }
    }

    std::int64_t measureLength() {
        const AVFormatContext& format = *decoder->format;
        const AVStream& stream = *format.streams[decoder->stream];
        const bool guessed = format.duration_estimation_method == AVFMT_DURATION_FROM_BITRATE;
        if (!guessed && stream.duration != AV_NOPTS_VALUE && stream.duration > 0) {
            return ffmpeg().av_rescale_q(stream.duration, stream.time_base,
                                         AVRational{1, sampleRate});
        }
        if (!guessed && format.duration != AV_NOPTS_VALUE && format.duration > 0) {
            return ffmpeg().av_rescale(format.duration, sampleRate, AV_TIME_BASE);
        }
        // No trustworthy figure in the container: count what decodes.
        Decoder counter(path);
        std::int64_t frames = 0;
        while (frames / sampleRate <= maxDurationSeconds && counter.next(sampleRate, channels)) {
            frames += counter.frame->nb_samples;
        }
        return frames;
    }

    // Reads up to `wanted` frames of a plain WAV file into the buffer, a piece at a time so that
    // the bytes as stored never take more than a small block.
    void readWave(AudioBuffer& buffer, std::uint32_t wanted, std::vector<float*>& planes) {
        constexpr std::size_t pieceBytes = 256 * 1024;
        const auto count = static_cast<std::uint32_t>(
            std::min<std::int64_t>(wanted, std::max<std::int64_t>(length - position, 0)));
        const std::size_t frameBytes = wave->bytesPerSample() * static_cast<std::size_t>(channels);
        const auto piece =
            static_cast<std::uint32_t>(std::max<std::size_t>(1, pieceBytes / frameBytes));
        buffer.setFrameLength(count);
        for (std::uint32_t done = 0; done < count;) {
            const std::uint32_t take = std::min(piece, count - done);
            try {
                wave->read(position, take, waveBytes);
            } catch (const std::runtime_error& error) {
                throw readError("Audio file " + path + ": " + error.what());
            }
            for (int c = 0; c < channels; ++c) {
                planes[c] = buffer.channel(static_cast<std::uint32_t>(c)).data() + done;
            }
            copyWaveFrames(path, wave->encoding(), channels, waveBytes.data(), take, planes);
            position += take;
            done += take;
        }
    }

    // Moves past `frames` frames without copying them; stops early at the end of the stream.
    void discard(std::int64_t frames) {
        while (frames > 0) {
            if (decoder->available() == 0 && !decoder->next(sampleRate, channels)) {
                return;
            }
            const int take = static_cast<int>(std::min<std::int64_t>(decoder->available(), frames));
            decoder->frameOffset += take;
            position += take;
            frames -= take;
        }
    }

    void seek(std::int64_t target) {
        if (wave) {
            position = std::min(target, length);
            return;
        }
        if (target == position) {
            return;
        }
        if (target > position && target - position <= decodeForwardSeconds * sampleRate) {
            discard(target - position);
            return;
        }
        if (!containerSeek(target)) {
            decoder = std::make_unique<Decoder>(path);
            position = 0;
            discard(target);
        }
    }

    // Seeks the container to a point at or before the target and decodes forward from there.
    // False when the container cannot say exactly where it landed.
    bool containerSeek(std::int64_t target) {
        const AVStream& stream = *decoder->format->streams[decoder->stream];
        const std::int64_t start = stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
        const std::int64_t timestamp =
            start + ffmpeg().av_rescale_q(target, AVRational{1, sampleRate}, stream.time_base);
        if (ffmpeg().av_seek_frame(decoder->format.get(), decoder->stream, timestamp,
                                   AVSEEK_FLAG_BACKWARD) < 0) {
            return false;
        }
        decoder->restartAfterSeek();
        if (!decoder->next(sampleRate, channels)) {
            return false;
        }
        const std::int64_t pts = decoder->frame->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) {
            return false;
        }
        const std::int64_t landed =
            ffmpeg().av_rescale_q(pts - start, stream.time_base, AVRational{1, sampleRate});
        if (landed > target) {
            return false;
        }
        position = landed;
        discard(target - landed);
        return true;
    }
};

void AudioFile::prepareDecoding(const std::vector<std::string>& paths) noexcept {
    try {
        bool converting = false;
        for (const std::string& path : paths) {
            const std::optional<WaveFile> wave = WaveFile::open(path, minSampleRate, maxSampleRate);
            if (!wave) {
                ffmpegForDecoding();
                return;
            }
            const AudioFormat format{double(wave->sampleRate()),
                                     static_cast<std::uint32_t>(wave->channels())};
            converting = converting || format != AudioProcessor::targetFormat;
        }
        if (converting) {
            ffmpegForResampling();
        }
    } catch (const std::exception&) {
    }
}

AudioFile::AudioFile(const std::string& path) : impl_(std::make_unique<Impl>(path)) {}
AudioFile::~AudioFile() = default;
AudioFile::AudioFile(AudioFile&&) noexcept = default;
AudioFile& AudioFile::operator=(AudioFile&&) noexcept = default;

const std::string& AudioFile::path() const noexcept {
    return impl_->path;
}

double AudioFile::sampleRate() const noexcept {
    return impl_->sampleRate;
}

std::uint32_t AudioFile::channelCount() const noexcept {
    return static_cast<std::uint32_t>(impl_->channels);
}

AudioFormat AudioFile::processingFormat() const noexcept {
    return {sampleRate(), channelCount()};
}

std::int64_t AudioFile::length() const noexcept {
    return impl_->length;
}

std::int64_t AudioFile::framePosition() const noexcept {
    return impl_->pendingSeek.value_or(impl_->position);
}

void AudioFile::setFramePosition(std::int64_t frame) {
    impl_->pendingSeek = std::max<std::int64_t>(frame, 0);
}

void AudioFile::read(AudioBuffer& buffer, std::uint32_t frameCount) {
    if (buffer.format() != processingFormat()) {
        throw readError("Audio buffer format does not match the file");
    }
    buffer.setFrameLength(0);
    Impl& file = *impl_;
    if (file.pendingSeek) {
        const std::int64_t target = *file.pendingSeek;
        file.pendingSeek.reset();
        file.seek(target);
    }
    const std::uint32_t wanted = std::min(frameCount, buffer.frameCapacity());
    std::vector<float*> planes(file.channels);
    if (file.wave) {
        file.readWave(buffer, wanted, planes);
        return;
    }
    // Storage for the frames asked for, taken at once: grown a decoded frame at a time, it would
    // double its way to up to twice that. Up to a window's worth at 44.1 kHz only: a header may
    // claim hours that the file does not hold.
    buffer.setFrameLength(std::min(wanted, reservedFramesAtMost));
    buffer.setFrameLength(0);
    std::uint32_t got = 0;
    while (got < wanted) {
        Decoder& decoder = *file.decoder;
        if (decoder.available() == 0 && !decoder.next(file.sampleRate, file.channels)) {
            break;
        }
        const int take = static_cast<int>(
            std::min<std::int64_t>(decoder.available(), std::int64_t{wanted} - got));
        buffer.setFrameLength(got + static_cast<std::uint32_t>(take));
        for (int c = 0; c < file.channels; ++c) {
            planes[c] = buffer.channel(static_cast<std::uint32_t>(c)).data() + got;
        }
        copyFrameAsFloat(file.path, *decoder.frame, file.channels, decoder.frameOffset, take,
                         planes);
        decoder.frameOffset += take;
        file.position += take;
        got += static_cast<std::uint32_t>(take);
    }
}

}  // namespace rararozuvu
