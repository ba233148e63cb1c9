#include "rararozuvu/audio/AudioProcessor.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <limits>
#include <thread>

namespace rararozuvu {

namespace {

using ChannelMode = AudioInputConfig::ChannelMode;

constexpr std::uint32_t maxFrameCount = std::numeric_limits<std::uint32_t>::max();
// Room taken up front for a loaded array: the length the file claims, but no more than 30 minutes,
// so a header that lies about its length cannot claim a huge allocation.
constexpr std::int64_t maxReservedSamples = 30 * 60 * 16000;

void checkPathExists(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        throw WhisperError::loadAudioFailed("Resource path does not exist " + path);
    }
}

// The whole frame index at `seconds`, within [0, limit].
std::int64_t frameAt(double seconds, double rate, std::int64_t limit) {
    if (!(seconds > 0)) {
        return 0;
    }
    const double frames = seconds * rate;
    if (!(frames < double(limit))) {
        return limit;
    }
    return static_cast<std::int64_t>(frames);
}

struct FrameSpan {
    std::int64_t start = 0;
    std::int64_t count = 0;
};

// The frames between two times. A start past the end, or an end before the start, selects nothing.
FrameSpan framesBetween(const AudioFile& file, std::optional<double> startTime,
                        std::optional<double> endTime) {
    const std::int64_t length = file.length();
    const std::int64_t start = frameAt(startTime.value_or(0.0), file.sampleRate(), length);
    const std::int64_t end = endTime ? frameAt(*endTime, file.sampleRate(), length) : length;
    return {start, std::max<std::int64_t>(end - start, 0)};
}

// Whole frames at `rate` in the time `frames` take at `sourceRate`.
std::int64_t framesAtRate(std::int64_t frames, double sourceRate, double rate) {
    const double converted = double(frames) / sourceRate * rate;
    return converted >= double(std::numeric_limits<std::int64_t>::max())
               ? std::numeric_limits<std::int64_t>::max()
               : static_cast<std::int64_t>(converted);
}

float peakOf(std::span<const float> samples) {
    constexpr std::size_t lanes = 8;
    float peak[lanes] = {};
    std::size_t i = 0;
    for (; i + lanes <= samples.size(); i += lanes) {
        for (std::size_t j = 0; j < lanes; ++j) {
            peak[j] = std::max(peak[j], std::fabs(samples[i + j]));
        }
    }
    for (; i < samples.size(); ++i) {
        peak[0] = std::max(peak[0], std::fabs(samples[i]));
    }
    return *std::max_element(peak, peak + lanes);
}

// Writes the one-channel mix of `in` into `mono` (the input's rate, one channel).
void mixToMono(const AudioBuffer& in, const ChannelMode& mode, AudioBuffer& mono) {
    const std::uint32_t channels = in.channelCount();
    const std::uint32_t frames = in.frameLength();
    mono.setFrameLength(0);
    mono.setFrameLength(frames);
    std::span<float> out = mono.channel(0);
    const auto copyChannel = [&](std::uint32_t c) {
        std::copy_n(in.channel(c).begin(), frames, out.begin());
    };
    const auto valid = [channels](std::int64_t c) { return c >= 0 && c < std::int64_t{channels}; };

    if (const auto* specific = std::get_if<ChannelMode::SpecificChannel>(&mode.value())) {
        copyChannel(valid(specific->index) ? static_cast<std::uint32_t>(specific->index) : 0);
        return;
    }
    const auto& listed = std::get<ChannelMode::SumChannels>(mode.value()).channels;
    std::vector<std::uint32_t> selected;
    if (!listed || listed->empty()) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            selected.push_back(c);
        }
    } else {
        for (std::int64_t c : *listed) {
            if (valid(c)) {
                selected.push_back(static_cast<std::uint32_t>(c));
            }
        }
    }
    if (selected.empty()) {
        copyChannel(0);
        return;
    }
    // Keep the loudest selected channel's peak: a sum of in-phase channels would otherwise clip,
    // and a sum that cancels out must stay silent rather than be amplified.
    float loudest = 0;
    for (std::uint32_t c : selected) {
        loudest = std::max(loudest, peakOf(in.channel(c)));
        const float* source = in.channel(c).data();
        for (std::uint32_t i = 0; i < frames; ++i) {
            out[i] += source[i];
        }
    }
    const float sumPeak = std::max(peakOf(out), 0.0001f);
    const float scale = loudest / sumPeak;
    for (float& sample : out) {
        sample *= scale;
    }
}

// Reads `frames` frames from the file's position in blocks of at most blockSize, mixes each block
// to one channel and converts it with a single converter for the whole read, so blocks join
// without lost or repeated samples. Each converted block goes to `sink`, which keeps what it can
// use. False when a block cannot be read or converted; a read's own reason (a damaged stream,
// samples that are not numbers) goes to `readFailure` when given.
template <typename Sink>
bool streamConverted(AudioFile& file, const ChannelMode& mode, std::int64_t frames,
                     std::uint32_t blockSize, AudioFormat outputFormat, std::int64_t outputLimit,
                     Sink&& sink, std::string* readFailure = nullptr) {
    try {
        const AudioFormat fileFormat = file.processingFormat();
        const AudioFormat monoFormat{fileFormat.sampleRate, 1};
        AudioConverter converter(monoFormat, outputFormat);
        AudioBuffer block(fileFormat, blockSize);
        AudioBuffer mono(monoFormat, blockSize);
        AudioBuffer converted(outputFormat,
                              static_cast<std::uint32_t>(std::min<std::int64_t>(
                                  std::max<std::int64_t>(outputLimit, 0), maxFrameCount)));
        std::int64_t remaining = frames;
        while (remaining > 0) {
            const auto wanted =
                static_cast<std::uint32_t>(std::min<std::int64_t>(remaining, blockSize));
            remaining -= wanted;
            try {
                file.read(block, wanted);
            } catch (const WhisperError& error) {
                if (readFailure != nullptr) {
                    *readFailure = error.message();
                }
                return false;
            }
            if (block.frameLength() == 0) {
                break;
            }
            const AudioBuffer* source = &block;
            if (block.channelCount() > 1) {
                mixToMono(block, mode, mono);
                source = &mono;
            }
            converted.setFrameLength(0);
            converter.convert(*source, converted);
            if (!sink(converted)) {
                return true;
            }
        }
        converted.setFrameLength(0);
        converter.flush(converted);
        sink(converted);
        return true;
    } catch (const WhisperError&) {
        return false;
    }
}

// Appends to `samples` up to `limit` in total; false once the limit is reached.
bool appendLimited(std::vector<float>& samples, std::span<const float> more, std::int64_t limit) {
    const auto room = static_cast<std::size_t>(
        std::max<std::int64_t>(limit - static_cast<std::int64_t>(samples.size()), 0));
    const std::size_t count = std::min(room, more.size());
    samples.insert(samples.end(), more.begin(), more.begin() + count);
    return samples.size() < static_cast<std::size_t>(limit);
}

bool readsDirectly(const AudioFile& file) {
    return file.sampleRate() == AudioProcessor::targetSampleRate && file.channelCount() == 1;
}

}  // namespace

AudioBuffer AudioProcessor::loadAudio(const std::string& path, const ChannelMode& channelMode,
                                      std::optional<double> startTime,
                                      std::optional<double> endTime,
                                      std::optional<std::uint32_t> maxReadFrameSize) {
    checkPathExists(path);
    AudioFile file(path);
    return loadAudio(file, channelMode, startTime, endTime, maxReadFrameSize);
}

AudioBuffer AudioProcessor::loadAudio(AudioFile& file, const ChannelMode& channelMode,
                                      std::optional<double> startTime,
                                      std::optional<double> endTime,
                                      std::optional<std::uint32_t> maxReadFrameSize) {
    const FrameSpan span = framesBetween(file, startTime, endTime);
    file.setFramePosition(span.start);
    if (readsDirectly(file)) {
        if (span.count > std::int64_t{maxFrameCount}) {
            throw WhisperError::loadAudioFailed("Unable to create audio buffer");
        }
        const auto count = static_cast<std::uint32_t>(span.count);
        AudioBuffer buffer(file.processingFormat(), count);
        try {
            file.read(buffer, count);
        } catch (const WhisperError& error) {
            throw WhisperError::loadAudioFailed("Failed to read audio file: " + error.message());
        }
        return buffer;
    }
    std::optional<AudioBuffer> resampled =
        span.count > std::int64_t{maxFrameCount}
            ? std::nullopt
            : resampleAudio(file, targetSampleRate, 1, channelMode,
                            static_cast<std::uint32_t>(span.count),
                            maxReadFrameSize.value_or(defaultAudioReadFrameSize));
    if (!resampled) {
        throw WhisperError::loadAudioFailed("Failed to process audio buffer");
    }
    return std::move(*resampled);
}

std::vector<float> AudioProcessor::loadAudioAsFloatArray(const std::string& path,
                                                         const ChannelMode& channelMode,
                                                         std::optional<double> startTime,
                                                         std::optional<double> endTime) {
    checkPathExists(path);
    AudioFile file(path);
    const FrameSpan span = framesBetween(file, startTime, endTime);
    file.setFramePosition(span.start);
    std::vector<float> samples;
    if (span.count == 0) {
        return samples;
    }
    if (readsDirectly(file)) {
        AudioBuffer block(file.processingFormat(), defaultAudioReadFrameSize);
        std::int64_t remaining = span.count;
        samples.reserve(static_cast<std::size_t>(std::min(span.count, maxReservedSamples)));
        while (remaining > 0) {
            try {
                file.read(block, static_cast<std::uint32_t>(
                                     std::min<std::int64_t>(remaining, defaultAudioReadFrameSize)));
            } catch (const WhisperError& error) {
                throw WhisperError::loadAudioFailed("Failed to read audio file: " +
                                                    error.message());
            }
            if (block.frameLength() == 0) {
                break;
            }
            remaining -= block.frameLength();
            samples.insert(samples.end(), block.channel(0).begin(), block.channel(0).end());
        }
        return samples;
    }
    const std::int64_t limit = framesAtRate(span.count, file.sampleRate(), targetSampleRate);
    samples.reserve(static_cast<std::size_t>(std::min(limit, maxReservedSamples)));
    std::string readFailure;
    const bool loaded = streamConverted(
        file, channelMode, span.count, defaultAudioReadFrameSize, AudioFormat{targetSampleRate, 1},
        limit,
        [&](const AudioBuffer& block) { return appendLimited(samples, block.channel(0), limit); },
        &readFailure);
    if (!loaded) {
        throw WhisperError::loadAudioFailed(readFailure.empty()
                                                ? "Failed to process audio buffer"
                                                : "Failed to read audio file: " + readFailure);
    }
    return samples;
}

std::vector<AudioProcessor::LoadResult> AudioProcessor::loadAudio(
    const std::vector<std::string>& paths, const ChannelMode& channelMode) {
    std::vector<std::optional<LoadResult>> slots(paths.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < paths.size(); i = next++) {
            try {
                slots[i].emplace(loadAudioAsFloatArray(paths[i], channelMode));
            } catch (const WhisperError& error) {
                slots[i].emplace(error);
            } catch (const std::exception& error) {
                slots[i].emplace(WhisperError::loadAudioFailed(error.what()));
            }
        }
    };
    const std::size_t workers =
        std::min<std::size_t>(paths.size(), std::max(1u, std::thread::hardware_concurrency()));
    {
        std::vector<std::jthread> threads;
        for (std::size_t w = 1; w < workers; ++w) {
            threads.emplace_back(work);
        }
        work();
    }
    std::vector<LoadResult> results;
    results.reserve(paths.size());
    for (auto& slot : slots) {
        results.push_back(std::move(*slot));
    }
    return results;
}

std::optional<AudioBuffer> AudioProcessor::resampleAudio(AudioFile& file, double sampleRate,
                                                         std::uint32_t channelCount,
                                                         const ChannelMode& channelMode,
                                                         std::optional<std::uint32_t> frameCount,
                                                         std::uint32_t maxReadFrameSize) {
    const std::int64_t start = file.framePosition();
    const std::int64_t frames = frameCount ? std::int64_t{*frameCount} : file.length();
    const std::int64_t end = std::min(start + frames, file.length() + 1);
    const std::int64_t capacity = framesAtRate(frames, file.sampleRate(), sampleRate);
    if (capacity > std::int64_t{maxFrameCount}) {
        return std::nullopt;
    }
    AudioBuffer output(AudioFormat{sampleRate, channelCount}, static_cast<std::uint32_t>(capacity));
    const std::uint32_t blockSize =
        maxReadFrameSize > 0 ? maxReadFrameSize : defaultAudioReadFrameSize;
    const bool loaded =
        streamConverted(file, channelMode, std::max<std::int64_t>(end - start, 0), blockSize,
                        output.format(), capacity, [&output](const AudioBuffer& block) {
                            output.appendContents(block, 0, block.frameLength());
                            return output.frameLength() < output.frameCapacity();
                        });
    if (!loaded) {
        return std::nullopt;
    }
    return output;
}

std::optional<AudioBuffer> AudioProcessor::resampleAudio(const AudioBuffer& buffer,
                                                         double sampleRate,
                                                         std::uint32_t channelCount) {
    try {
        AudioConverter converter(buffer.format(), AudioFormat{sampleRate, channelCount});
        AudioBuffer output = resampleBuffer(buffer, converter);
        converter.flush(output);
        return output;
    } catch (const WhisperError&) {
        return std::nullopt;
    }
}

AudioBuffer AudioProcessor::resampleBuffer(const AudioBuffer& buffer, AudioConverter& converter) {
    double capacity = converter.outputFormat().sampleRate * double(buffer.frameLength()) /
                      converter.inputFormat().sampleRate;
    if (capacity != std::floor(capacity)) {
        // Half to even, as the default rounding mode does.
        capacity = std::max(std::nearbyint(capacity), 1.0);
    }
    if (!(capacity >= 0) || capacity > double(maxFrameCount)) {
        throw WhisperError::audioProcessingFailed("Failed to create converted buffer");
    }
    AudioBuffer output(converter.outputFormat(), static_cast<std::uint32_t>(capacity));
    converter.convert(buffer, output);
    return output;
}

std::optional<AudioBuffer> AudioProcessor::convertToMono(const AudioBuffer& buffer,
                                                         const ChannelMode& channelMode) {
    if (buffer.channelCount() < 2) {
        return buffer;
    }
    AudioBuffer mono(AudioFormat{buffer.format().sampleRate, 1}, buffer.frameCapacity());
    mixToMono(buffer, channelMode, mono);
    return mono;
}

std::vector<float> AudioProcessor::convertBufferToArray(AudioBuffer& buffer,
                                                        std::size_t chunkSize) {
    if (buffer.channelCount() == 0) {
        return {};
    }
    std::span<float> samples = buffer.channel(0);
    std::vector<float> array;
    array.reserve(samples.size());
    const std::size_t step = chunkSize > 0 ? chunkSize : samples.size();
    for (std::size_t offset = 0; offset < samples.size(); offset += step) {
        const auto chunk = samples.subspan(offset, std::min(step, samples.size() - offset));
        array.insert(array.end(), chunk.begin(), chunk.end());
        std::fill(chunk.begin(), chunk.end(), 0.0f);
    }
    return array;
}

}  // namespace rararozuvu
