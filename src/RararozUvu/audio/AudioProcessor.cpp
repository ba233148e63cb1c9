#include "rararozuvu/audio/AudioProcessor.h"
#include "rararozuvu/audio/AudioSource.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <limits>
#include <optional>
#include <span>
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

// The one-channel mix of a block of frames, written part by part as the block is read and scaled
// once the whole block is in.
class MonoMix {
public:
    MonoMix(const ChannelMode& mode, std::uint32_t channels) {
        const auto valid = [channels](std::int64_t c) {
            return c >= 0 && c < std::int64_t{channels};
        };
        if (const auto* specific = std::get_if<ChannelMode::SpecificChannel>(&mode.value())) {
            copied_ = valid(specific->index) ? static_cast<std::uint32_t>(specific->index) : 0;
            return;
        }
        const auto& listed = std::get<ChannelMode::SumChannels>(mode.value()).channels;
        if (!listed || listed->empty()) {
            for (std::uint32_t c = 0; c < channels; ++c) {
                summed_.push_back(c);
            }
        } else {
            for (std::int64_t c : *listed) {
                if (valid(c)) {
                    summed_.push_back(static_cast<std::uint32_t>(c));
                }
            }
        }
    }

    // Writes the mix of the frames of `part` to `out`.
    void add(const AudioBuffer& part, float* out) {
        const std::uint32_t frames = part.frameLength();
        if (summed_.empty()) {
            std::copy_n(part.channel(copied_).begin(), frames, out);
            return;
        }
        std::fill_n(out, frames, 0.0f);
        for (std::uint32_t c : summed_) {
            loudest_ = std::max(loudest_, peakOf(part.channel(c)));
            const float* source = part.channel(c).data();
            for (std::uint32_t i = 0; i < frames; ++i) {
                out[i] += source[i];
            }
        }
    }

    // Scales the mix of the whole block, `mixed`, once every part is in.
    void finish(std::span<float> mixed) const {
        if (summed_.empty()) {
            return;
        }
        // Keep the loudest selected channel's peak: a sum of in-phase channels would otherwise
        // clip, and a sum that cancels out must stay silent rather than be amplified.
        const float sumPeak = std::max(peakOf(mixed), 0.0001f);
        const float scale = loudest_ / sumPeak;
        for (float& sample : mixed) {
            sample *= scale;
        }
    }

private:
    std::vector<std::uint32_t> summed_;  // channels summed, in order; none: channel copied_ alone
    std::uint32_t copied_ = 0;
    float loudest_ = 0;
};

// Writes the one-channel mix of `in` into `mono` (the input's rate, one channel).
void mixToMono(const AudioBuffer& in, const ChannelMode& mode, AudioBuffer& mono) {
    MonoMix mix(mode, in.channelCount());
    mono.setFrameLength(0);
    mono.setFrameLength(in.frameLength());
    mix.add(in, mono.channel(0).data());
    mix.finish(mono.channel(0));
}

// Frames of a many-channel file read at a time into a block's one-channel mix: the block (up to a
// whole window at the file's rate) is then held once, as its mix, and never with all its channels.
constexpr std::uint32_t mixPartFrames = 32768;

// Reads `frames` frames from the file's position in blocks of at most blockSize, mixes each block
// to one channel and converts it with a single converter for the whole read, so blocks join
// without lost or repeated samples. The last block is what the converter still holds at the end.
class ConvertedBlocks {
public:
    // Throws WhisperError when no converter can be made for the formats.
    ConvertedBlocks(AudioFile& file, const ChannelMode& mode, std::int64_t frames,
                    std::uint32_t blockSize, AudioFormat outputFormat, std::int64_t outputLimit)
        : file_(file),
          mode_(mode),
          remaining_(frames),
          blockSize_(blockSize),
          converter_(AudioFormat{file.processingFormat().sampleRate, 1}, outputFormat),
          block_(file.processingFormat(),
                 file.channelCount() > 1 ? std::min(blockSize, mixPartFrames) : blockSize),
          mono_(AudioFormat{file.processingFormat().sampleRate, 1}, blockSize),
          converted_(outputFormat, static_cast<std::uint32_t>(std::min<std::int64_t>(
                                       std::max<std::int64_t>(outputLimit, 0), maxFrameCount))) {}

    // The next converted block, or nothing after the last. Throws WhisperError; when a block
    // could not be read, readFailure() holds the read's own reason (a damaged stream, samples
    // that are not numbers).
    const AudioBuffer* next() {
        if (flushed_) {
            return nullptr;
        }
        while (remaining_ > 0) {
            const auto wanted =
                static_cast<std::uint32_t>(std::min<std::int64_t>(remaining_, blockSize_));
            remaining_ -= wanted;
            try {
                if (block_.channelCount() > 1) {
                    readMixed(wanted);
                } else {
                    file_.read(block_, wanted);
                }
            } catch (const WhisperError& error) {
                readFailure_ = error.message();
                throw;
            }
            if (block_.frameLength() == 0 && mono_.frameLength() == 0) {
                break;
            }
            const AudioBuffer* source = &block_;
            if (block_.channelCount() > 1) {
                source = &mono_;
            }
            // Room for what the block converts to, taken once: grown as the resampler gives
            // samples, the storage would double its way to up to twice that.
            converted_.setFrameLength(static_cast<std::uint32_t>(
                std::min<double>(std::ceil(double(source->frameLength()) *
                                           converted_.format().sampleRate / file_.sampleRate()) +
                                     64.0,
                                 converted_.frameCapacity())));
            converted_.setFrameLength(0);
            converter_.convert(*source, converted_);
            release(block_);
            release(mono_);
            return &converted_;
        }
        converted_.setFrameLength(0);
        converter_.flush(converted_);
        flushed_ = true;
        return &converted_;
    }

    const std::string& readFailure() const noexcept { return readFailure_; }

private:
    // Reads up to `wanted` frames into the block's mix, mono_, a part at a time through block_.
    void readMixed(std::uint32_t wanted) {
        MonoMix mix(mode_, block_.channelCount());
        // Room for the whole mix at once, up to a window's worth at 44.1 kHz: grown part by part
        // it would double its way to up to twice that, and a header may claim more than the file
        // holds.
        mono_.setFrameLength(std::min(wanted, AudioProcessor::defaultAudioReadFrameSize));
        mono_.setFrameLength(0);
        std::uint32_t got = 0;
        while (got < wanted) {
            const std::uint32_t part = std::min(wanted - got, mixPartFrames);
            file_.read(block_, part);
            mono_.setFrameLength(got + block_.frameLength());
            mix.add(block_, mono_.channel(0).data() + got);
            got += block_.frameLength();
            if (block_.frameLength() < part) {
                break;
            }
        }
        block_.setFrameLength(0);
        mono_.setFrameLength(got);
        mix.finish(mono_.channel(0));
    }

    // A block's storage is given back between reads: a streamed file is read a window at a time,
    // and the model's work in between should not sit beside tens of megabytes of idle blocks.
    static void release(AudioBuffer& buffer) {
        buffer = AudioBuffer(buffer.format(), buffer.frameCapacity());
    }

    AudioFile& file_;
    const ChannelMode& mode_;
    std::int64_t remaining_;
    std::uint32_t blockSize_;
    AudioConverter converter_;
    AudioBuffer block_;
    AudioBuffer mono_;
    AudioBuffer converted_;
    bool flushed_ = false;
    std::string readFailure_;
};

// The converted blocks of a read, each handed to `sink`, which keeps what it can use and answers
// false once it wants no more. False when a block cannot be read or converted; a read's own
// reason goes to `readFailure` when given.
template <typename Sink>
bool streamConverted(AudioFile& file, const ChannelMode& mode, std::int64_t frames,
                     std::uint32_t blockSize, AudioFormat outputFormat, std::int64_t outputLimit,
                     Sink&& sink, std::string* readFailure = nullptr) {
    std::optional<ConvertedBlocks> blocks;
    try {
        blocks.emplace(file, mode, frames, blockSize, outputFormat, outputLimit);
        while (const AudioBuffer* block = blocks->next()) {
            if (!sink(*block)) {
                return true;
            }
        }
        return true;
    } catch (const WhisperError&) {
        if (readFailure != nullptr && blocks && !blocks->readFailure().empty()) {
            *readFailure = blocks->readFailure();
        }
        return false;
    }
}

bool readsDirectly(const AudioFile& file) {
    return file.processingFormat() == AudioProcessor::targetFormat;
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

// The 16 kHz mono samples of a span of a file, a block at a time: the one sequence that both the
// whole-array load and the streamed source read.
class FileAudioSource::Reader {
public:
    Reader(const std::string& path, const ChannelMode& channelMode,
           std::optional<double> startTime = {}, std::optional<double> endTime = {})
        : mode_(channelMode), file_((checkPathExists(path), path)) {
        const FrameSpan span = framesBetween(file_, startTime, endTime);
        file_.setFramePosition(span.start);
        remaining_ = span.count;
        direct_ = readsDirectly(file_);
        limit_ =
            direct_ ? span.count : framesAtRate(span.count, file_.sampleRate(), targetSampleRate);
        if (span.count == 0) {
            ended_ = true;
        } else if (direct_) {
            block_.emplace(file_.processingFormat(), AudioProcessor::defaultAudioReadFrameSize);
        } else {
            try {
                blocks_.emplace(file_, mode_, span.count, AudioProcessor::defaultAudioReadFrameSize,
                                AudioFormat{targetSampleRate, 1}, limit_);
            } catch (const WhisperError&) {
                throw WhisperError::loadAudioFailed("Failed to process audio buffer");
            }
        }
    }

    // The most samples the span can give.
    std::int64_t limit() const noexcept { return limit_; }

    // Appends the next samples to `out`; false, appending nothing, once there are no more.
    // Throws WhisperError (loadAudioFailed).
    bool next(std::vector<float>& out) {
        while (!ended_) {
            const std::size_t before = out.size();
            if (direct_) {
                nextDirect(out);
            } else {
                nextConverted(out);
            }
            if (out.size() > before) {
                return true;
            }
        }
        return false;
    }

private:
    static constexpr double targetSampleRate = AudioProcessor::targetSampleRate;

    void nextDirect(std::vector<float>& out) {
        if (remaining_ <= 0) {
            ended_ = true;
            return;
        }
        try {
            file_.read(*block_, static_cast<std::uint32_t>(std::min<std::int64_t>(
                                    remaining_, AudioProcessor::defaultAudioReadFrameSize)));
        } catch (const WhisperError& error) {
            throw WhisperError::loadAudioFailed("Failed to read audio file: " + error.message());
        }
        if (block_->frameLength() == 0) {
            ended_ = true;
            return;
        }
        remaining_ -= block_->frameLength();
        out.insert(out.end(), block_->channel(0).begin(), block_->channel(0).end());
        // As for converted blocks: no idle block storage between reads.
        block_.emplace(file_.processingFormat(), AudioProcessor::defaultAudioReadFrameSize);
    }

    void nextConverted(std::vector<float>& out) {
        const AudioBuffer* block = nullptr;
        try {
            block = blocks_->next();
        } catch (const WhisperError&) {
            const std::string& reason = blocks_->readFailure();
            throw WhisperError::loadAudioFailed(reason.empty()
                                                    ? "Failed to process audio buffer"
                                                    : "Failed to read audio file: " + reason);
        }
        if (block == nullptr) {
            ended_ = true;
            return;
        }
        const std::span<const float> more = block->channel(0);
        const auto count = static_cast<std::size_t>(
            std::clamp<std::int64_t>(limit_ - produced_, 0, std::ssize(more)));
        out.insert(out.end(), more.begin(), more.begin() + static_cast<std::ptrdiff_t>(count));
        produced_ += static_cast<std::int64_t>(count);
        if (produced_ >= limit_) {
            ended_ = true;
        }
    }

    const ChannelMode& mode_;
    AudioFile file_;
    std::int64_t remaining_ = 0;
    std::int64_t limit_ = 0;
    std::int64_t produced_ = 0;
    bool direct_ = false;
    bool ended_ = false;
    std::optional<AudioBuffer> block_;
    std::optional<ConvertedBlocks> blocks_;
};

std::vector<float> AudioProcessor::loadAudioAsFloatArray(const std::string& path,
                                                         const ChannelMode& channelMode,
                                                         std::optional<double> startTime,
                                                         std::optional<double> endTime) {
    FileAudioSource::Reader reader(path, channelMode, startTime, endTime);
    std::vector<float> samples;
    samples.reserve(static_cast<std::size_t>(std::min(reader.limit(), maxReservedSamples)));
    while (reader.next(samples)) {
    }
    return samples;
}

FileAudioSource::FileAudioSource(std::string path, ChannelMode channelMode)
    : path_(std::move(path)), channelMode_(std::move(channelMode)) {
    Reader counter(path_, channelMode_);
    std::vector<float> scratch;
    while (counter.next(scratch)) {
        count_ += static_cast<std::int64_t>(scratch.size());
        scratch.clear();
    }
}

FileAudioSource::~FileAudioSource() = default;

void FileAudioSource::dropBefore(std::int64_t start) {
    const auto drop = static_cast<std::ptrdiff_t>(
        std::clamp<std::int64_t>(start - bufferStart_, 0, std::ssize(buffered_)));
    buffered_.erase(buffered_.begin(), buffered_.begin() + drop);
    bufferStart_ += drop;
}

void FileAudioSource::read(std::int64_t start, std::int64_t count, std::vector<float>& out) {
    start = std::clamp<std::int64_t>(start, 0, count_);
    const std::int64_t end =
        std::clamp<std::int64_t>(start + std::max<std::int64_t>(count, 0), start, count_);
    if (!reader_ || start < bufferStart_) {
        reader_.reset();
        buffered_.clear();
        bufferStart_ = 0;
        reader_ = std::make_unique<Reader>(path_, channelMode_);
    }
    dropBefore(start);
    while (bufferStart_ + std::ssize(buffered_) < end) {
        if (!reader_->next(buffered_)) {
            throw WhisperError::loadAudioFailed("Audio file " + path_ +
                                                " ended early: it changed while it was read");
        }
        dropBefore(start);
    }
    out.assign(buffered_.begin() + (start - bufferStart_),
               buffered_.begin() + (end - bufferStart_));
}

std::vector<float> FileAudioSource::readAll() {
    Reader reader(path_, channelMode_);
    std::vector<float> samples;
    samples.reserve(static_cast<std::size_t>(count_));
    while (reader.next(samples)) {
    }
    return samples;
}

namespace {

// One result per path, `open` run on every path from several threads; a failure becomes that
// path's error.
template <typename Result, typename Open>
std::vector<Result> forEachPathConcurrently(const std::vector<std::string>& paths, Open&& open) {
    std::vector<std::optional<Result>> slots(paths.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < paths.size(); i = next++) {
            try {
                slots[i].emplace(open(paths[i]));
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
    std::vector<Result> results;
    results.reserve(paths.size());
    for (auto& slot : slots) {
        results.push_back(std::move(*slot));
    }
    return results;
}

}  // namespace

std::vector<AudioProcessor::LoadResult> AudioProcessor::loadAudio(
    const std::vector<std::string>& paths, const ChannelMode& channelMode) {
    return forEachPathConcurrently<LoadResult>(
        paths, [&](const std::string& path) { return loadAudioAsFloatArray(path, channelMode); });
}

std::vector<AudioProcessor::OpenResult> AudioProcessor::openAudioFiles(
    const std::vector<std::string>& paths, const ChannelMode& channelMode) {
    return forEachPathConcurrently<OpenResult>(paths, [&](const std::string& path) {
        return std::make_unique<FileAudioSource>(path, channelMode);
    });
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
