// Live capture against a private PulseAudio server: its sine source, its pipe source that we
// feed, and sources that pose as a Bluetooth headset and a built-in microphone.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <numbers>
#include <thread>

#include "../../../src/RararozUvu/audio/platform/CaptureFragments.h"
#include "../LogCapture.h"
#include "../PipelineFixtures.h"
#include "PulseServer.h"
#include "WaitFor.h"
#include "rararozuvu/audio/AudioCapture.h"
#include "rararozuvu/audio/AudioProcessor.h"

namespace rararozuvu {
namespace {

using namespace std::chrono_literals;
using quillora::testing::PulseServer;
using quillora::testing::waitFor;

std::size_t threadCount() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                      std::filesystem::directory_iterator()));
}

std::optional<std::uint32_t> deviceNamed(const std::string& name) {
    for (const CaptureSource& source : AudioCapture::connect()->inputSources()) {
        if (source.name == name)
            return source.index;
    }
    return std::nullopt;
}

std::size_t sampleCount(const AudioProcessor& processor) {
    return processor.audioSamples().size();
}

// Quiet rising ramp, distinct at every sample: what comes out must be it, in order.
std::vector<float> ramp(std::size_t count) {
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<float>(static_cast<int>(i % 20000) - 10000) / 32768.0f;
    }
    return samples;
}

// Zero crossings of a sine tell its frequency in cycles per sample: a capture at any rate but
// 16 kHz moves it.
double frequencyAt16kHz(std::span<const float> samples) {
    std::size_t crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        crossings += (samples[i - 1] < 0) != (samples[i] < 0);
    }
    return double(crossings) / 2.0 * 16000.0 / double(samples.size());
}

TEST(LiveCapture, ArrivesAtSixteenKilohertzInTenthSecondBuffers) {
    PulseServer server;
    AudioProcessor processor;
    std::mutex mutex;
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::size_t>> arrivals;
    std::vector<std::size_t> sizes;
    // The default source: the tone, in real time.
    processor.startRecordingLive(std::nullopt, [&](const std::vector<float>& buffer) {
        std::lock_guard lock(mutex);
        sizes.push_back(buffer.size());
        const std::size_t total =
            arrivals.empty() ? buffer.size() : arrivals.back().second + buffer.size();
        arrivals.emplace_back(std::chrono::steady_clock::now(), total);
    });
    // Two seconds after the first half second: the rate, free of the start-up latency and of
    // a tone writer that had to catch up at first.
    ASSERT_TRUE(waitFor([&] { return sampleCount(processor) >= 16000 * 3; }));
    processor.stopRecording();
    {
        std::lock_guard lock(mutex);
        const auto settled = std::find_if(arrivals.begin(), arrivals.end(), [&](const auto& a) {
            return a.first - arrivals.front().first >= 500ms;
        });
        ASSERT_NE(settled, arrivals.end());
        const auto& [firstTime, firstTotal] = *settled;
        const auto& [lastTime, lastTotal] =
            arrivals[arrivals.size() - 2];  // not the stop's remainder
        const double seconds = std::chrono::duration<double>(lastTime - firstTime).count();
        ASSERT_GT(seconds, 1.5);
        EXPECT_NEAR(double(lastTotal - firstTotal) / seconds, 16000.0, 16000.0 * 0.05);
        for (std::size_t i = 0; i + 1 < sizes.size(); ++i)
            ASSERT_EQ(sizes[i], 1600u) << "buffer " << i;
        const auto energy = processor.audioEnergy();
        ASSERT_EQ(energy.size(), sizes.size());
        EXPECT_EQ(energy.front().rel, 0.0f);  // nothing to compare the first buffer with
        EXPECT_NEAR(energy[energy.size() / 2].max, PulseServer::sineAmplitude, 0.01f);
    }

    // The server's own sine source (which sends two seconds at a time).
    const auto sine = deviceNamed("sine");
    ASSERT_TRUE(sine);
    processor.startRecordingLive(sine);
    ASSERT_TRUE(waitFor([&] { return sampleCount(processor) >= 16000; }));
    processor.stopRecording();
    const std::vector<float> samples = processor.audioSamples();
    const auto second = std::span(samples).first(16000);
    EXPECT_NEAR(AudioProcessor::calculateAverageEnergy(second),
                PulseServer::sineAmplitude / std::numbers::sqrt2_v<float>, 0.005f);
    EXPECT_NEAR(frequencyAt16kHz(second), PulseServer::sineFrequency, 2.0);
}

TEST(LiveCapture, PauseResumeAndStop) {
    PulseServer server;
    AudioProcessor processor;
    int calls = 0;
    processor.startRecordingLive(std::nullopt, [&](const std::vector<float>&) { ++calls; });
    ASSERT_TRUE(waitFor([&] { return sampleCount(processor) >= 3200; }));

    processor.pauseRecording();
    const std::vector<float> paused = processor.audioSamples();
    // Nothing is late: once the pause returns, what the server sent before it has arrived.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sampleCount(processor), paused.size());
    EXPECT_TRUE(processor.hasAudioEngine());

    // The same device resumes the capture there is and keeps the history; no callback keeps the
    // one there is.
    processor.resumeRecordingLive(std::nullopt);
    ASSERT_TRUE(waitFor([&] { return sampleCount(processor) >= paused.size() + 3200; }));
    const std::vector<float> resumed = processor.audioSamples();
    EXPECT_TRUE(std::equal(paused.begin(), paused.end(), resumed.begin()));

    processor.stopRecording();
    EXPECT_FALSE(processor.hasAudioEngine());
    EXPECT_EQ(processor.audioEnergy().size(), std::size_t(calls));
    const std::size_t stopped = sampleCount(processor);
    EXPECT_TRUE(processor.audioBufferCallback()) << "a stop keeps the callback";
    processor.stopRecording();  // a second stop does nothing

    // After a stop, the same device finds no capture to resume; another device starts one and
    // keeps the history.
    processor.resumeRecordingLive(std::nullopt);
    EXPECT_FALSE(processor.hasAudioEngine());
    EXPECT_EQ(sampleCount(processor), stopped);
    const auto pipe = deviceNamed("pipe");
    ASSERT_TRUE(pipe);
    processor.resumeRecordingLive(pipe);
    EXPECT_TRUE(processor.hasAudioEngine());
    server.writePipe(ramp(3200), false);
    ASSERT_TRUE(waitFor([&] { return sampleCount(processor) >= stopped + 3200; }));
    processor.stopRecording();

    // A start begins a new history.
    processor.startRecordingLive(std::nullopt, nullptr);
    EXPECT_FALSE(processor.audioBufferCallback());
    EXPECT_LT(sampleCount(processor), stopped);
    processor.stopRecording();
}

// The history grows on the capture thread while others read and trim it: every reader gets a
// whole snapshot, made of whole buffers.
TEST(LiveCapture, ReadersGetWholeSnapshotsWhileTheCaptureWrites) {
    PulseServer server;
    AudioProcessor processor;
    const auto pipe = deviceNamed("pipe");
    ASSERT_TRUE(pipe);
    processor.startRecordingLive(pipe);
    std::jthread writer([&] { server.writePipe(ramp(16000 * 4), false); });
    EXPECT_TRUE(waitFor([&] {
        // Asked first: once every buffer is in, the trim below is the last, whatever arrived
        // since the poll before.
        const bool complete = processor.audioEnergy().size() == 40;
        const std::vector<float> samples = processor.audioSamples();
        EXPECT_EQ(samples.size() % 1600, 0u);
        EXPECT_GE(processor.relativeEnergy().size(), processor.audioSamples().size() / 1600);
        if (samples.size() > 16000)
            processor.purgeAudioSamples(16000);
        return complete;
    }));
    writer.join();
    processor.stopRecording();
    EXPECT_LE(processor.audioSamples().size(), 16000u + 16000u);
}

TEST(LiveCapture, ChosenDeviceDeliversExactlyWhatItRecords) {
    PulseServer server;
    AudioProcessor processor;
    processor.setInputSuppressed(false);
    const auto pipe = deviceNamed("pipe");
    ASSERT_TRUE(pipe);
    processor.startRecordingLive(pipe);
    const std::vector<float> written = ramp(16000);
    server.writePipe(written, false);
    ASSERT_TRUE(waitFor([&] { return sampleCount(processor) >= written.size(); }));

    // Suppressed input keeps the timeline as zeros.
    processor.setInputSuppressed(true);
    server.writePipe(ramp(3200), false);
    ASSERT_TRUE(waitFor([&] { return sampleCount(processor) >= written.size() + 3200; }));
    processor.stopRecording();

    const std::vector<float> captured = processor.audioSamples();
    ASSERT_EQ(captured.size(), written.size() + 3200);
    EXPECT_TRUE(std::equal(written.begin(), written.end(), captured.begin()));
    EXPECT_TRUE(
        std::all_of(captured.begin() + 16000, captured.end(), [](float s) { return s == 0; }));
    const auto energy = processor.audioEnergy();
    EXPECT_EQ(energy.back().avg, 0.0f);
    EXPECT_EQ(energy.back().max, 0.0f);
}

TEST(LiveCapture, UnknownDeviceFallsBackToTheDefaultWithAnErrorLine) {
    PulseServer server;
    testing::LogCapture log(vevidocore::Logging::LogLevel::error);
    AudioProcessor processor;
    processor.startRecordingLive(4000000000u);
    ASSERT_TRUE(waitFor([&] { return sampleCount(processor) >= 1600; }));  // the tone
    processor.stopRecording();
    EXPECT_TRUE(std::any_of(log.lines.begin(), log.lines.end(), [](const std::string& line) {
        return line.find("Error setting Audio Unit property") != std::string::npos;
    }));
}

TEST(CaptureDevices, InputsAreClassifiedAndFollowTheServer) {
    PulseServer server;
    const std::shared_ptr<AudioCapture> capture = AudioCapture::connect();
    std::vector<std::string> names;
    for (const CaptureSource& source : capture->inputSources()) {
        names.push_back(source.name);
        EXPECT_EQ(source.isBluetooth(), source.name == "headset") << source.name;
        EXPECT_EQ(source.isBuiltIn(), source.name == "builtin") << source.name;
    }
    // The null sink's monitor is an echo of an output, not a microphone.
    EXPECT_EQ(names, (std::vector<std::string>{"sine", "tone", "headset", "builtin", "pipe"}));
    std::vector<std::string> deviceNames;
    for (const AudioDevice& device : AudioProcessor::getAudioDevices())
        deviceNames.push_back(device.name);
    EXPECT_EQ(deviceNames.size(), 5u);
    EXPECT_NE(std::find(deviceNames.begin(), deviceNames.end(), "Headset"), deviceNames.end());
    EXPECT_TRUE(AudioProcessor::requestRecordPermission());

    EXPECT_EQ(capture->defaultSourceName(), "tone");
    const std::uint64_t changes = capture->deviceChanges();
    ASSERT_EQ(server.pactl({"set-default-source", "headset"}).exitCode, 0);
    EXPECT_TRUE(waitFor([&] { return capture->defaultSourceName() == "headset"; }));
    EXPECT_GT(capture->deviceChanges(), changes);

    ASSERT_EQ(server.pactl({"load-module", "module-sine-source", "source_name=late"}).exitCode, 0);
    EXPECT_TRUE(waitFor([&] {
        const auto sources = capture->inputSources();
        return std::any_of(sources.begin(), sources.end(),
                           [](const CaptureSource& s) { return s.name == "late"; });
    }));
}

TEST(CaptureDevices, NoServerIsAClearErrorAtOnceAndLeavesNoThread) {
    const testing::ScratchFolder folder;
    const std::string nowhere = "unix:" + folder.file("none");
    // A server that takes the connection and never answers.
    const std::string silentPath = folder.file("silent");
    const int silent = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, silentPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(silent, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(silent, 4), 0);

    for (const std::string& serverAddress : {nowhere, "unix:" + silentPath}) {
        SCOPED_TRACE(serverAddress);
        setenv("PULSE_SERVER", serverAddress.c_str(), 1);
        const std::size_t threads = threadCount();
        AudioProcessor processor;
        const auto start = std::chrono::steady_clock::now();
        try {
            processor.startRecordingLive();
            ADD_FAILURE() << "capture started without a server";
        } catch (const AudioCaptureError& error) {
            EXPECT_NE(std::string(error.what()).find("sound server"), std::string::npos)
                << error.what();
            EXPECT_NE(std::string(error.what()).find(serverAddress), std::string::npos)
                << error.what();
        }
        // Bounded by the answer timeout, not hung: a generous margin over its 2 s.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
        EXPECT_FALSE(processor.hasAudioEngine());
        EXPECT_EQ(threadCount(), threads);

        std::exception_ptr ended;
        bool finished = false;
        processor.startStreamingRecordingLive(std::nullopt, {}, [&](std::exception_ptr error) {
            finished = true;
            ended = error;
        });
        EXPECT_TRUE(finished);
        EXPECT_TRUE(ended);
        if (serverAddress == nowhere) {
            EXPECT_TRUE(AudioProcessor::getAudioDevices().empty());
            EXPECT_FALSE(AudioProcessor::requestRecordPermission());
        }
        EXPECT_EQ(threadCount(), threads);
    }
    close(silent);
    unsetenv("PULSE_SERVER");
}

TEST(CaptureFragments, OtherFormatsAreMixedAndResampledIntoWholeFragments) {
    // What a server that refused our format would send: 48 kHz stereo, in uneven pieces.
    std::vector<float> interleaved(48000 * 2);
    for (std::size_t i = 0; i < 48000; ++i) {
        const float value =
            0.5f * std::sin(2.0f * std::numbers::pi_v<float> * 440.0f * float(i) / 48000.0f);
        interleaved[2 * i] = value;
        interleaved[2 * i + 1] = value;
    }
    platform::CaptureFragments fragments(AudioFormat{48000.0, 2}, 1600);
    std::vector<std::size_t> sizes;
    std::vector<float> out;
    const auto emit = [&](std::span<const float> fragment) {
        sizes.push_back(fragment.size());
        out.insert(out.end(), fragment.begin(), fragment.end());
    };
    for (std::size_t offset = 0; offset < interleaved.size();) {
        const std::size_t piece = std::min<std::size_t>(2 * 1234, interleaved.size() - offset);
        fragments.push(std::span(interleaved).subspan(offset, piece), emit);
        offset += piece;
    }
    fragments.finish(emit);
    for (std::size_t i = 0; i + 1 < sizes.size(); ++i)
        ASSERT_EQ(sizes[i], 1600u);
    EXPECT_NEAR(double(out.size()), 16000.0, 16.0);
    EXPECT_NEAR(AudioProcessor::calculateAverageEnergy(std::span(out).subspan(1000, 14000)),
                0.5f / std::numbers::sqrt2_v<float>, 0.01f);
}

}  // namespace
}  // namespace rararozuvu
