#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <variant>

#include <sys/stat.h>

#include "../AudioFixtures.h"
#include "rararozuvu/audio/AudioFile.h"
#include "rararozuvu/audio/AudioProcessor.h"

namespace rararozuvu {
namespace {

using testing::Channels;
using testing::sine;
using testing::sox;
using testing::TempFolder;
using testing::writeWav;
using ChannelMode = AudioInputConfig::ChannelMode;

std::int64_t expectedLength(std::int64_t frames, double rate) {
    return static_cast<std::int64_t>(double(frames) / rate * 16000.0);
}

float peak(std::span<const float> samples) {
    float result = 0;
    for (float x : samples) {
        result = std::max(result, std::fabs(x));
    }
    return result;
}

// Largest difference from the reference, leaving out `margin` samples at either end where a
// resampling filter has nothing to look at beyond the signal.
float maxDifference(std::span<const float> samples, std::span<const float> reference,
                    std::size_t margin) {
    float result = 0;
    const std::size_t count = std::min(samples.size(), reference.size());
    for (std::size_t i = margin; i + margin < count; ++i) {
        result = std::max(result, std::fabs(samples[i] - reference[i]));
    }
    return result;
}

struct FormatCase {
    const char* name;
    int rate;
    int channels;
    std::int64_t frames;
    const char* extension;  // "wav" as written, others converted by sox or ffmpeg
    float tolerance;        // against an ideal 440 Hz sine at 16 kHz
    bool lossless;          // exact length, and channels equal to the last bit
};

void PrintTo(const FormatCase& c, std::ostream* out) {
    *out << c.name;
}

class AudioLoadingFormatTest : public ::testing::TestWithParam<FormatCase> {};

// Every common rate and layout ends as 16 kHz mono of the expected length, holding the same sound,
// whatever block size the file is read in.
TEST_P(AudioLoadingFormatTest, LoadsAs16kMonoOfExpectedLength) {
    const FormatCase& c = GetParam();
    TempFolder folder;
    const std::string wav = folder.file("source.wav");
    writeWav(wav, c.rate, Channels(c.channels, sine(c.rate, 440, c.frames)));
    std::string path = wav;
    const std::string extension = c.extension;
    if (extension != "wav") {
        path = folder.file("source." + extension);
        if (extension == "flac" || extension == "ogg") {
            sox(wav + " " + path);
        } else {
            testing::ffmpeg("-i " + wav + " " + path);
        }
    }

    const std::vector<float> samples = AudioProcessor::loadAudioAsFloatArray(path);
    const std::int64_t expected = expectedLength(c.frames, c.rate);
    if (c.lossless) {
        EXPECT_EQ(static_cast<std::int64_t>(samples.size()), expected);
    } else {
        EXPECT_NEAR(double(samples.size()), double(expected), 0.01 * double(expected));
    }
    const std::vector<float> ideal = sine(16000, 440, expected);
    EXPECT_LT(maxDifference(samples, ideal, 64), c.tolerance);

    // Small blocks must join without a lost or repeated sample. Lossy stereo channels differ a
    // little, so the mix's gain, taken per block, may differ a little too.
    const AudioBuffer blocks = AudioProcessor::loadAudio(path, ChannelMode::sumChannels(), {}, {},
                                                         /*maxReadFrameSize=*/997);
    ASSERT_EQ(blocks.frameLength(), samples.size());
    EXPECT_LE(maxDifference(blocks.channel(0), samples, 0), c.lossless ? 0.0f : 1e-3f);

    // Streamed, the file gives the very same samples.
    FileAudioSource source(path, ChannelMode::sumChannels());
    ASSERT_EQ(source.sampleCount(), std::ssize(samples));
    std::vector<float> window;
    source.read(1000, 5000, window);
    EXPECT_TRUE(std::equal(window.begin(), window.end(), samples.begin() + 1000,
                           samples.begin() + std::min<std::ptrdiff_t>(6000, std::ssize(samples))));
}

// Files longer than one read block, walked as a transcription walks them: overlapping windows
// moving forward, the last cut at the end, and a window back at the start, which decodes the
// file again. Every window holds exactly the samples of the whole-file load.
TEST(AudioLoadingTest, StreamedWindowsEqualTheWholeFile) {
    struct Case {
        const char* name;
        int rate;
        int channels;
        std::int64_t frames;
        const char* extension;
    };
    const Case cases[] = {
        {"wav16kmono", 16000, 1, 16000 * 95 + 7, "wav"},  // read as it is, in blocks
        {"wav48kstereo", 48000, 2, 48000 * 40 + 3, "wav"},
        {"flac22k05mono", 22050, 1, 22050 * 70, "flac"},
    };
    TempFolder folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string wav = folder.file(std::string(c.name) + ".wav");
        std::vector<std::vector<float>> channels;
        for (int ch = 0; ch < c.channels; ++ch) {
            // Channels of different levels, so that the per-block mix shows in the samples.
            channels.push_back(sine(c.rate, 300.0 + 200.0 * ch, c.frames, 0.3f + 0.4f * ch));
        }
        writeWav(wav, c.rate, channels);
        std::string path = wav;
        if (std::string(c.extension) != "wav") {
            path = folder.file(std::string(c.name) + "." + c.extension);
            sox(wav + " " + path);
        }
        const std::vector<float> whole = AudioProcessor::loadAudioAsFloatArray(path);
        FileAudioSource source(path, ChannelMode::sumChannels());
        ASSERT_EQ(source.sampleCount(), std::ssize(whole));

        std::vector<float> window;
        std::vector<std::int64_t> starts;
        for (std::int64_t start = 0; start < source.sampleCount(); start += 300007) {
            starts.push_back(start);
        }
        starts.push_back(16000);
        for (std::int64_t start : starts) {
            source.read(start, 480000, window);
            const std::int64_t end = std::min<std::int64_t>(start + 480000, std::ssize(whole));
            ASSERT_EQ(std::ssize(window), end - start) << start;
            EXPECT_TRUE(std::equal(window.begin(), window.end(), whole.begin() + start)) << start;
        }
        EXPECT_EQ(source.readAll(), whole);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, AudioLoadingFormatTest,
    ::testing::Values(FormatCase{"wav44k1stereo", 44100, 2, 441000, "wav", 2e-3f, true},
                      FormatCase{"wav48kstereo", 48000, 2, 120001, "wav", 2e-3f, true},
                      FormatCase{"wav8kmono", 8000, 1, 9876, "wav", 2e-3f, true},
                      FormatCase{"wav16kmono", 16000, 1, 12345, "wav", 1e-4f, true},
                      FormatCase{"flac22k05mono", 22050, 1, 33333, "flac", 2e-3f, true},
                      FormatCase{"ogg44k1stereo", 44100, 2, 88200, "ogg", 0.05f, false},
                      FormatCase{"mp344k1stereo", 44100, 2, 88200, "mp3", 0.05f, false},
                      FormatCase{"m4a48kstereo", 48000, 2, 96000, "m4a", 0.05f, false},
                      FormatCase{"opus16kmono", 16000, 1, 32000, "opus", 0.05f, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AudioLoadingTest, SixteenKilohertzMonoIsReadWithoutConversion) {
    TempFolder folder;
    const std::string path = folder.file("mono16k.wav");
    std::vector<float> written(5000);
    for (std::size_t i = 0; i < written.size(); ++i) {
        written[i] = float(int(i % 200) - 100) / 128.0f;  // exact in 16-bit PCM
    }
    writeWav(path, 16000, {written});
    EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path), written);
}

TEST(AudioLoadingTest, TenSecondsOf44k1StereoIsOneBlockOf160000Frames) {
    TempFolder folder;
    const std::string path = folder.file("ten.wav");
    writeWav(path, 44100, Channels(2, sine(44100, 300, 441000)));
    const AudioBuffer buffer = AudioProcessor::loadAudio(path);
    EXPECT_EQ(buffer.format(), (AudioFormat{16000, 1}));
    EXPECT_EQ(buffer.frameCapacity(), 160000u);
    EXPECT_EQ(buffer.frameLength(), 160000u);
}

TEST(AudioLoadingTest, ChannelModesMixByPeak) {
    TempFolder folder;
    const std::int64_t frames = 44100;
    const std::vector<float> left = sine(44100, 440, frames, 0.5f);
    std::vector<float> inverted(left);
    for (float& x : inverted) {
        x = -x;
    }
    const std::string inPhase = folder.file("in-phase.wav");
    const std::string antiphase = folder.file("antiphase.wav");
    const std::string unequal = folder.file("unequal.wav");
    writeWav(inPhase, 44100, {left, left});
    writeWav(antiphase, 44100, {left, inverted});
    writeWav(unequal, 44100, {left, sine(44100, 440, frames, 0.25f)});

    struct Case {
        std::string path;
        ChannelMode mode;
        float peak;
        float tolerance;
    };
    const std::vector<Case> cases = {
        {inPhase, ChannelMode::sumChannels(), 0.5f, 0.01f},
        {antiphase, ChannelMode::sumChannels(), 0.0f, 0.0f},
        {antiphase, ChannelMode::specificChannel(1), 0.5f, 0.01f},
        {unequal, ChannelMode::sumChannels(), 0.5f, 0.01f},
        {unequal, ChannelMode::specificChannel(1), 0.25f, 0.01f},
        {unequal, ChannelMode::specificChannel(7), 0.5f, 0.01f},
        {unequal, ChannelMode::sumChannels(std::vector<std::int64_t>{1}), 0.25f, 0.01f},
    };
    for (const Case& c : cases) {
        const std::vector<float> samples = AudioProcessor::loadAudioAsFloatArray(c.path, c.mode);
        EXPECT_EQ(samples.size(), 16000u);
        EXPECT_NEAR(peak(samples), c.peak, c.tolerance) << c.path << " " << c.mode.toJson();
    }
}

// A file's block is mixed as it is decoded, a part at a time; the mix must be the one of the whole
// block held at once: summed in the same order, scaled by the peaks of the whole block (here a
// quiet start and a loud end, each longer than a part).
TEST(AudioLoadingTest, MixingWhileDecodingEqualsMixingTheWholeBlock) {
    TempFolder folder;
    const std::int64_t frames = 3 * 44100;
    Channels channels{sine(44100, 440, frames, 0.05f), sine(44100, 300, frames, 0.1f),
                      sine(44100, 523, frames, 0.02f)};
    for (std::size_t i = 2 * 44100; i < std::size_t(frames); ++i) {
        channels[0][i] *= 12.0f;
        channels[2][i] = -channels[1][i];
    }
    const std::string path = folder.file("three.wav");
    writeWav(path, 44100, channels);

    for (const ChannelMode& mode :
         {ChannelMode::sumChannels(), ChannelMode::specificChannel(2),
          ChannelMode::sumChannels(std::vector<std::int64_t>{2, 0, 2, 9})}) {
        AudioFile file(path);
        AudioBuffer whole(file.processingFormat(), static_cast<std::uint32_t>(file.length()));
        file.read(whole, whole.frameCapacity());
        const std::optional<AudioBuffer> mono = AudioProcessor::convertToMono(whole, mode);
        ASSERT_TRUE(mono);
        const std::optional<AudioBuffer> expected = AudioProcessor::resampleAudio(*mono, 16000, 1);
        ASSERT_TRUE(expected);

        const std::vector<float> samples = AudioProcessor::loadAudioAsFloatArray(path, mode);
        const std::span<const float> reference = expected->channel(0);
        ASSERT_NEAR(double(samples.size()), double(reference.size()), 1.0) << mode.toJson();
        const std::size_t common = std::min(samples.size(), reference.size());
        EXPECT_TRUE(std::equal(samples.begin(), samples.begin() + std::ptrdiff_t(common),
                               reference.begin()))
            << mode.toJson();
    }
}

TEST(AudioLoadingTest, ResamplingKeepsTiming) {
    TempFolder folder;
    const std::string path = folder.file("click.wav");
    std::vector<float> click(96000, 0.0f);
    click[48000] = 0.9f;  // 1.0 s
    writeWav(path, 48000, {click});
    const std::vector<float> samples = AudioProcessor::loadAudioAsFloatArray(path);
    ASSERT_EQ(samples.size(), 32000u);
    const auto loudest = std::max_element(samples.begin(), samples.end(), [](float a, float b) {
        return std::fabs(a) < std::fabs(b);
    });
    EXPECT_NEAR(double(loudest - samples.begin()), 16000.0, 1.0);
}

// A range of a 16 kHz mono file is exactly that slice; a range of a resampled file has the
// length of its frames and the same sound as that part of the whole load.
TEST(AudioLoadingTest, TimeRangesSelectTheirFrames) {
    TempFolder folder;
    const std::string direct = folder.file("direct.wav");
    const std::string resampled = folder.file("resampled.wav");
    std::vector<float> ramp(48000);
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = float(int(i % 4096) - 2048) / 4096.0f;
    }
    writeWav(direct, 16000, {ramp});
    writeWav(resampled, 44100, Channels(2, sine(44100, 200, 132300)));

    struct Case {
        std::optional<double> start;
        std::optional<double> end;
        std::int64_t first;  // expected first output sample of the whole load
        std::int64_t count;
    };
    const std::vector<Case> cases = {
        {1.0, 2.0, 16000, 16000}, {0.5, {}, 8000, 40000}, {{}, 0.25, 0, 4000},
        {2.5, 99.0, 40000, 8000}, {2.0, 1.0, 0, 0},       {5.0, {}, 0, 0},
        {-1.0, 0.5, 0, 8000},
    };
    const std::vector<float> whole = AudioProcessor::loadAudioAsFloatArray(direct);
    const std::vector<float> wholeResampled = AudioProcessor::loadAudioAsFloatArray(resampled);
    ASSERT_EQ(whole, ramp);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.start.value_or(-9) << ".." << c.end.value_or(-9));
        const auto range = AudioProcessor::loadAudioAsFloatArray(direct, ChannelMode::sumChannels(),
                                                                 c.start, c.end);
        EXPECT_EQ(range,
                  std::vector<float>(whole.begin() + c.first, whole.begin() + c.first + c.count));
        const auto part = AudioProcessor::loadAudioAsFloatArray(
            resampled, ChannelMode::sumChannels(), c.start, c.end);
        ASSERT_EQ(static_cast<std::int64_t>(part.size()), c.count);
        EXPECT_LT(maxDifference(part, std::span(wholeResampled).subspan(c.first, c.count), 32),
                  1e-3f);
    }
}

// Moving back and forth in one open file, near and far, gives the same frames as a fresh load.
TEST(AudioLoadingTest, RangesOfOneOpenFileInAnyOrder) {
    TempFolder folder;
    const std::string wav = folder.file("long.wav");
    std::vector<float> ramp(45 * 16000);
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = float(int(i % 8192) - 4096) / 8192.0f;
    }
    writeWav(wav, 16000, {ramp});
    const std::string flac = folder.file("long.flac");
    sox(wav + " " + flac);

    for (const std::string& path : {wav, flac}) {
        AudioFile file(path);
        for (const auto& [start, end] : {std::pair{40.0, 41.0},
                                         {8.0, 9.0},
                                         {2.0, 3.0},
                                         {2.5, 4.0},
                                         {36.0, 36.5},
                                         {0.0, 0.5}}) {
            AudioBuffer buffer =
                AudioProcessor::loadAudio(file, ChannelMode::sumChannels(), start, end);
            EXPECT_EQ(AudioProcessor::convertBufferToArray(buffer),
                      std::vector<float>(ramp.begin() + std::ptrdiff_t(start * 16000),
                                         ramp.begin() + std::ptrdiff_t(end * 16000)))
                << path << " from " << start;
        }
    }
}

TEST(AudioLoadingTest, SharedRecordingsLoad) {
    struct Case {
        const char* name;
        std::int64_t frames;
        double rate;
    };
    const Case cases[] = {
        {"jfk_ask-not_16k_mono.wav", 176000, 16000},
        {"jfk_ask-not_44k1_stereo.wav", 485100, 44100},
        {"harvard-sentences_44k1_stereo.wav", 809508, 44100},
        {"librispeech_1089-134686-0000.flac", 166960, 16000},
        {"librispeech_1089-134691-0001.flac", 86640, 16000},
        {"librispeech_after-early-nightfall_16k_mono.wav", 106000, 16000},
    };
    for (const Case& c : cases) {
        const auto samples = AudioProcessor::loadAudioAsFloatArray(testing::sharedAudio(c.name));
        EXPECT_EQ(static_cast<std::int64_t>(samples.size()), expectedLength(c.frames, c.rate))
            << c.name;
        EXPECT_GT(peak(samples), 0.05f) << c.name;
    }

    // The same speech stored as 44.1 kHz stereo comes out as the 16 kHz mono recording.
    const auto mono =
        AudioProcessor::loadAudioAsFloatArray(testing::sharedAudio("jfk_ask-not_16k_mono.wav"));
    const auto stereo =
        AudioProcessor::loadAudioAsFloatArray(testing::sharedAudio("jfk_ask-not_44k1_stereo.wav"));
    EXPECT_NEAR(peak(stereo), peak(mono), 0.01f);
    double difference = 0;
    double energy = 0;
    for (std::size_t i = 0; i < mono.size(); ++i) {
        difference += double(stereo[i] - mono[i]) * (stereo[i] - mono[i]);
        energy += double(mono[i]) * mono[i];
    }
    EXPECT_LT(std::sqrt(difference / energy), 0.1);
}

TEST(AudioLoadingTest, FlacMatchesAnIndependentDecoder) {
    TempFolder folder;
    const std::string flac = testing::sharedAudio("librispeech_1089-134691-0001.flac");
    const std::string raw = folder.file("decoded.f32");
    sox(flac + " -t f32 " + raw);
    std::vector<float> reference(static_cast<std::size_t>(std::filesystem::file_size(raw) / 4));
    std::FILE* in = std::fopen(raw.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    ASSERT_EQ(std::fread(reference.data(), 4, reference.size(), in), reference.size());
    std::fclose(in);
    EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(flac), reference);
}

TEST(AudioLoadingTest, BrokenFilesFailWithLoadError) {
    TempFolder folder;
    std::string header;
    {
        const std::string good = folder.file("good.wav");
        writeWav(good, 44100, Channels(2, sine(44100, 440, 100)));
        std::ifstream in(good, std::ios::binary);
        header.assign(std::istreambuf_iterator<char>(in), {});
    }
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"empty.wav", ""},
        {"noise.wav", std::string(4096, '\x5a')},
        {"text.mp3", "this is not audio at all\n"},
        {"cut-header.wav", header.substr(0, 20)},
        {"bad-fmt.wav", header.substr(0, 20) + std::string(24, '\xff') + header.substr(44)},
    };
    for (const Case& c : cases) {
        const std::string path = folder.file(c.name);
        testing::writeBytes(path, c.bytes);
        for (int entry = 0; entry < 2; ++entry) {
            try {
                if (entry == 0) {
                    AudioProcessor::loadAudioAsFloatArray(path);
                } else {
                    AudioProcessor::loadAudio(path);
                }
                ADD_FAILURE() << c.name << " loaded";
            } catch (const WhisperError& error) {
                EXPECT_EQ(error.errorCase(), WhisperError::Case::loadAudioFailed) << c.name;
            }
        }
    }

    // Files a careless caller might hand over, each refused with a reason that names the file.
    const std::string pcm(32000, '\0');
    struct Refused {
        const char* name;
        std::string bytes;
        const char* reason;
    };
    const Refused refused[] = {
        {"one-hertz.wav", testing::wavHeader(1, 1, 16, 1, 32000) + pcm, "sample rate of 1 Hz"},
        {"999-hertz.wav", testing::wavHeader(999, 1, 16, 1, 32000) + pcm, "999 Hz"},
        {"one-megahertz.wav", testing::wavHeader(1000000, 1, 16, 1, 32000) + pcm, "1000000 Hz"},
    };
    for (const Refused& c : refused) {
        const std::string path = folder.file(c.name);
        testing::writeBytes(path, c.bytes);
        try {
            AudioProcessor::loadAudioAsFloatArray(path);
            ADD_FAILURE() << c.name << " loaded";
        } catch (const WhisperError& error) {
            EXPECT_EQ(error.errorCase(), WhisperError::Case::loadAudioFailed) << c.name;
            EXPECT_THAT(error.message(), ::testing::HasSubstr(c.reason));
            EXPECT_THAT(error.message(), ::testing::HasSubstr(path));
        }
    }
    const std::string days = folder.file("claims-days.flac");
    testing::writeFlacClaimingDays(days);
    try {
        AudioProcessor::loadAudioAsFloatArray(days);
        ADD_FAILURE() << "50 days loaded";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, WhisperError::loadAudioFailed("Failed to open audio file " + days +
                                                       ": the audio lasts longer than 24 hours"));
    }
    // Opening a FIFO would wait for a writer that never comes.
    const std::string fifo = folder.file("fifo.wav");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    try {
        AudioProcessor::loadAudioAsFloatArray(fifo);
        ADD_FAILURE() << "FIFO loaded";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, WhisperError::loadAudioFailed("Failed to open audio file " + fifo +
                                                       ": not a regular file"));
    }

    const std::string missing = folder.file("missing.wav");
    try {
        AudioProcessor::loadAudio(missing);
        ADD_FAILURE() << "missing file loaded";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, WhisperError::loadAudioFailed("Resource path does not exist " + missing));
    }
}

// A streamed file refuses what the whole-file load refuses, with the same error, before any
// window is read.
TEST(AudioLoadingTest, StreamedFilesAreRefusedAsLoadedOnes) {
    TempFolder folder;
    std::vector<std::string> paths;
    paths.push_back(folder.file("one-hertz.wav"));
    testing::writeBytes(paths.back(),
                        testing::wavHeader(1, 1, 16, 1, 32000) + std::string(32000, '\0'));
    paths.push_back(folder.file("claims-days.flac"));
    testing::writeFlacClaimingDays(paths.back());
    paths.push_back(folder.file("fifo.wav"));
    ASSERT_EQ(::mkfifo(paths.back().c_str(), 0600), 0);
    paths.push_back(folder.file("missing.wav"));
    for (std::uint32_t rate : {16000u, 44100u}) {
        paths.push_back(folder.file("not-a-number-" + std::to_string(rate) + ".wav"));
        std::vector<float> poisoned(4410, 0.25f);
        poisoned[2000] = std::nanf("");
        testing::writeFloatWav(paths.back(), rate, poisoned);
    }
    const auto errorOf = [](auto&& load) -> std::optional<WhisperError> {
        try {
            load();
        } catch (const WhisperError& error) {
            return error;
        }
        return std::nullopt;
    };
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const std::optional<WhisperError> loaded =
            errorOf([&] { AudioProcessor::loadAudioAsFloatArray(path); });
        ASSERT_TRUE(loaded);
        EXPECT_EQ(errorOf([&] { FileAudioSource source(path, ChannelMode::sumChannels()); }),
                  loaded);
        const std::vector<AudioProcessor::OpenResult> opened =
            AudioProcessor::openAudioFiles({path});
        ASSERT_EQ(opened.size(), 1u);
        const auto* error = std::get_if<WhisperError>(&opened[0]);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(*error, *loaded);
    }
}

// A plain WAV file is read directly, others through the decoder; both must give the same frames.
// Each encoding is written twice: as a well-formed file, and with a header that claims more data
// than follows it, which only the decoder takes.
TEST(AudioLoadingTest, PlainWaveFilesReadAsTheDecoderReadsThem) {
    struct Encoding {
        const char* name;
        std::uint16_t format;  // 1 integer PCM, 3 IEEE float
        std::uint16_t bits;
        std::uint16_t channels;
        bool extensible;
        bool listChunk;  // a metadata chunk before the samples
    };
    const Encoding encodings[] = {
        {"u8", 1, 8, 1, false, false},
        {"s16 stereo", 1, 16, 2, false, true},
        {"s24", 1, 24, 1, false, false},
        {"s24 extensible", 1, 24, 2, true, false},
        {"s32", 1, 32, 1, false, true},
        {"f32 stereo", 3, 32, 2, false, false},
        {"f64 extensible", 3, 64, 1, true, false},
    };
    TempFolder folder;
    for (const Encoding& e : encodings) {
        SCOPED_TRACE(e.name);
        const std::uint32_t frames = 3001;
        const std::uint32_t frameBytes = e.channels * e.bits / 8u;
        // Bytes that are valid samples of every encoding: floats in -1...1 built from them.
        std::string data;
        for (std::uint32_t i = 0; i < frames * e.channels; ++i) {
            const double x = std::sin(0.01 * i) * (i % 7 == 0 ? 1.0 : 0.6);
            if (e.format == 3 && e.bits == 32) {
                const float f = static_cast<float>(x);
                data.append(reinterpret_cast<const char*>(&f), 4);
            } else if (e.format == 3) {
                data.append(reinterpret_cast<const char*>(&x), 8);
            } else {
                const auto v = static_cast<std::int64_t>(std::llround(x * 2147483647.0));
                const auto u = static_cast<std::uint32_t>(v);
                for (int b = 4 - e.bits / 8; b < 4; ++b) {
                    data += static_cast<char>(u >> (8 * b));
                }
            }
        }
        const auto header = [&](std::uint32_t dataBytes) {
            std::string h;
            const auto u32 = [&h](std::uint32_t v) {
                h.append(reinterpret_cast<const char*>(&v), 4);
            };
            const auto u16 = [&h](std::uint16_t v) {
                h.append(reinterpret_cast<const char*>(&v), 2);
            };
            h += "RIFF";
            u32(0);
            h += "WAVEfmt ";
            u32(e.extensible ? 40 : 16);
            u16(e.extensible ? 0xFFFE : e.format);
            u16(e.channels);
            u32(16000);
            u32(16000 * frameBytes);
            u16(static_cast<std::uint16_t>(frameBytes));
            u16(e.bits);
            if (e.extensible) {
                u16(22);
                u16(e.bits);
                u32(0);
                u16(e.format);
                h += std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
            }
            if (e.listChunk) {
                h += "LIST";
                u32(12);
                h += "INFOISFT";
                u32(0);
            }
            h += "data";
            u32(dataBytes);
            return h;
        };
        const auto readAll = [](const std::string& path) {
            AudioFile file(path);
            std::vector<std::vector<float>> channels(file.channelCount());
            AudioBuffer buffer(file.processingFormat(), 1000);
            do {
                file.read(buffer, 1000);
                for (std::uint32_t c = 0; c < file.channelCount(); ++c) {
                    const auto samples = buffer.channel(c);
                    channels[c].insert(channels[c].end(), samples.begin(), samples.end());
                }
            } while (buffer.frameLength() == 1000);
            return std::pair(file.length(), channels);
        };
        const std::string plain = folder.file("plain.wav");
        const std::string claiming = folder.file("claiming.wav");
        testing::writeBytes(plain, header(static_cast<std::uint32_t>(data.size())) + data);
        testing::writeBytes(claiming,
                            header(static_cast<std::uint32_t>(data.size()) + 8000) + data);
        const auto [plainLength, plainFrames] = readAll(plain);
        const auto [claimingLength, claimingFrames] = readAll(claiming);
        EXPECT_EQ(plainLength, frames);
        ASSERT_EQ(plainFrames.size(), e.channels);
        EXPECT_EQ(plainFrames[0].size(), frames);
        EXPECT_EQ(plainFrames, claimingFrames);

        // Seeking lands on the same frame as reading up to it.
        AudioFile file(plain);
        AudioBuffer buffer(file.processingFormat(), 10);
        file.setFramePosition(2990);
        file.read(buffer, 10);
        ASSERT_EQ(buffer.frameLength(), 10u);
        EXPECT_EQ(buffer.channel(0)[0], plainFrames[0][2990]);
        file.setFramePosition(5000);
        file.read(buffer, 10);
        EXPECT_EQ(buffer.frameLength(), 0u);
    }
}

TEST(AudioLoadingTest, ShortAndEmptyAudio) {
    TempFolder folder;
    const std::string empty = folder.file("no-frames.wav");
    writeWav(empty, 44100, Channels(2));
    EXPECT_TRUE(AudioProcessor::loadAudioAsFloatArray(empty).empty());
    EXPECT_EQ(AudioProcessor::loadAudio(empty).frameLength(), 0u);

    // A header that promises more than the file holds: what is there is loaded.
    const std::string cut = folder.file("cut.wav");
    writeWav(cut, 16000, {sine(16000, 440, 32000)});
    std::filesystem::resize_file(cut, 44 + 2 * 8000);
    EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(cut).size(), 8000u);
}

TEST(AudioLoadingTest, FloatSamplesAreClampedAndMustBeFinite) {
    TempFolder folder;
    // Both the direct 16 kHz mono read and the resampling read.
    for (std::uint32_t rate : {16000u, 44100u}) {
        SCOPED_TRACE(rate);
        const std::string loud = folder.file("loud.wav");
        std::vector<float> samples(4410, 1.0e30f);
        for (std::size_t i = 1; i < samples.size(); i += 2) {
            samples[i] = -2.0f;
        }
        testing::writeFloatWav(loud, rate, samples);
        const std::vector<float> loaded = AudioProcessor::loadAudioAsFloatArray(loud);
        ASSERT_FALSE(loaded.empty());
        if (rate == 16000u) {
            EXPECT_EQ(loaded[0], 1.0f);
            EXPECT_EQ(loaded[1], -1.0f);
        }
        EXPECT_TRUE(std::all_of(loaded.begin(), loaded.end(),
                                [](float x) { return std::isfinite(x) && std::fabs(x) <= 1.01f; }));

        for (float bad : {std::nanf(""), std::numeric_limits<float>::infinity()}) {
            const std::string path = folder.file("not-a-number.wav");
            std::vector<float> poisoned(4410, 0.25f);
            poisoned[2000] = bad;
            testing::writeFloatWav(path, rate, poisoned);
            try {
                AudioProcessor::loadAudioAsFloatArray(path);
                ADD_FAILURE() << bad << " loaded";
            } catch (const WhisperError& error) {
                EXPECT_EQ(error, WhisperError::loadAudioFailed(
                                     "Failed to read audio file: Audio file " + path +
                                     " holds samples that are not finite numbers"));
            }
        }
    }
}

TEST(AudioLoadingTest, ManyFilesKeepTheirOrder) {
    TempFolder folder;
    const std::string first = folder.file("first.wav");
    const std::string third = folder.file("third.wav");
    writeWav(first, 8000, {sine(8000, 300, 8000)});
    writeWav(third, 48000, Channels(2, sine(48000, 300, 24000)));
    const std::vector<std::string> paths = {first, folder.file("second.wav"), third};

    const auto results = AudioProcessor::loadAudio(paths);
    ASSERT_EQ(results.size(), 3u);
    ASSERT_TRUE(std::holds_alternative<std::vector<float>>(results[0]));
    EXPECT_EQ(std::get<std::vector<float>>(results[0]),
              AudioProcessor::loadAudioAsFloatArray(first));
    ASSERT_TRUE(std::holds_alternative<WhisperError>(results[1]));
    EXPECT_EQ(std::get<WhisperError>(results[1]).message(),
              "Resource path does not exist " + paths[1]);
    ASSERT_TRUE(std::holds_alternative<std::vector<float>>(results[2]));
    EXPECT_EQ(std::get<std::vector<float>>(results[2]).size(), 8000u);
}

}  // namespace
}  // namespace rararozuvu
