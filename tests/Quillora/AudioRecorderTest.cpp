// The recorder and the input devices against a private PulseAudio server (see PulseServer.h for
// its sources: a paced tone as the default, a Bluetooth headset, a built-in microphone, a pipe).

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "PulseServer.h"
#include "WaitFor.h"
#include "audio/AudioDevices.h"
#include "audio/AudioRecorder.h"

namespace quillora {
namespace {

using namespace std::chrono_literals;
using testing::PulseServer;

void processEvents() {
    QCoreApplication::processEvents();
}

std::uint32_t indexOf(const std::string& uid) {
    for (const AudioInputDevice& device : AudioDevices::inputs()) {
        if (device.uid == uid)
            return device.id;
    }
    ADD_FAILURE() << "no input " << uid;
    return 0;
}

// The sources our record streams are bound to, as the server sees them.
std::vector<std::uint32_t> recordingFrom(const PulseServer& server) {
    const auto listing = server.pactl({"list", "short", "source-outputs"});
    EXPECT_EQ(listing.exitCode, 0);
    std::vector<std::uint32_t> sources;
    std::istringstream lines(listing.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::uint32_t output = 0;
        std::uint32_t source = 0;
        if (fields >> output >> source)
            sources.push_back(source);
    }
    return sources;
}

TEST(AudioRecorder, RecordsTheDefaultInputWithALevelPerBufferOnTheMainThread) {
    PulseServer server;
    AudioRecorder recorder;
    std::vector<float> levels;
    bool offMainThread = false;
    recorder.onLevel = [&](float level) {
        offMainThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
        levels.push_back(level);
    };
    recorder.start(false);
    EXPECT_TRUE(recorder.isRecording());
    ASSERT_TRUE(testing::waitFor([&] { return levels.size() >= 6; }, 10s, processEvents));
    const std::vector<float> samples = recorder.stop();
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_FALSE(offMainThread);

    ASSERT_GE(samples.size(), 6u * AudioRecorder::bufferFrames);
    const float toneLevel = PulseServer::sineAmplitude / std::sqrt(2.0f);
    EXPECT_NEAR(AudioRecorder::rms(std::span(samples).subspan(1600, 6400)), toneLevel, 0.01f);
    EXPECT_NEAR(levels[2], toneLevel, 0.01f);
    EXPECT_TRUE(recorder.stop().empty()) << "a stop takes the samples out";
}

TEST(AudioRecorder, ABluetoothDefaultGivesWayToTheBuiltInMicrophoneWhenAsked) {
    PulseServer server;
    ASSERT_EQ(server.pactl({"set-default-source", "headset"}).exitCode, 0);
    const std::uint32_t builtin = indexOf("builtin");
    const std::uint32_t headset = indexOf("headset");
    ASSERT_TRUE(testing::waitFor([] { return AudioDevices::builtInInput().has_value(); }));
    EXPECT_EQ(AudioDevices::builtInInput(), builtin);
    ASSERT_TRUE(testing::waitFor([&] { return AudioRecorder::preferredDevice(true) == builtin; }));
    EXPECT_EQ(AudioRecorder::preferredDevice(false), std::nullopt);

    AudioRecorder recorder;
    recorder.start(true);
    EXPECT_EQ(recordingFrom(server), std::vector<std::uint32_t>{builtin});
    recorder.stop();
    recorder.start(false);
    EXPECT_EQ(recordingFrom(server), std::vector<std::uint32_t>{headset});
    recorder.stop();

    // Without a built-in microphone the default stays.
    const auto modules = server.pactl({"list", "short", "modules"}).output;
    const auto line = modules.rfind('\n', modules.find("source_name=builtin"));
    const std::string module = modules.substr(line + 1, modules.find('\t', line + 1) - line - 1);
    ASSERT_EQ(server.pactl({"unload-module", module}).exitCode, 0);
    EXPECT_TRUE(testing::waitFor([] { return !AudioDevices::builtInInput(); }));
    EXPECT_EQ(AudioRecorder::preferredDevice(true), std::nullopt);
    recorder.start(true);
    EXPECT_EQ(recordingFrom(server), std::vector<std::uint32_t>{headset});
    recorder.stop();
}

TEST(AudioRecorder, NeverRecordsTwiceAndFollowsANewDefault) {
    PulseServer server;
    AudioRecorder recorder;
    recorder.start(false);
    recorder.start(false);  // the first recording ends here
    EXPECT_EQ(recordingFrom(server).size(), 1u);
    recorder.stop();
    EXPECT_TRUE(recordingFrom(server).empty());

    // The default input changed between two dictations: the next records from the new one.
    ASSERT_EQ(server.pactl({"set-default-source", "pipe"}).exitCode, 0);
    processEvents();  // the levels of the recordings before
    int buffers = 0;
    recorder.onLevel = [&](float) { ++buffers; };
    recorder.start(false);
    std::vector<float> written(5 * AudioRecorder::bufferFrames);
    for (std::size_t i = 0; i < written.size(); ++i)
        written[i] = float(int(i % 200) - 100) / 512.0f;
    server.writePipe(written, false);
    ASSERT_TRUE(testing::waitFor([&] { return buffers == 5; }, 10s, processEvents)) << buffers;
    EXPECT_EQ(recorder.stop(), written);
}

TEST(AudioDevices, ListsMicrophonesAndSaysWhenThereAreNone) {
    {
        PulseServer server;
        std::vector<std::string> uids;
        for (const AudioInputDevice& device : AudioDevices::inputs())
            uids.push_back(device.uid);
        EXPECT_EQ(uids, (std::vector<std::string>{"sine", "tone", "headset", "builtin", "pipe"}));
        EXPECT_TRUE(AudioDevices::hasInputDevice());
    }
    setenv("PULSE_SERVER", "unix:/nonexistent/quillora/native", 1);
    EXPECT_TRUE(AudioDevices::inputs().empty());
    EXPECT_FALSE(AudioDevices::hasInputDevice());
    AudioRecorder recorder;
    const auto start = std::chrono::steady_clock::now();
    try {
        recorder.start(false);
        ADD_FAILURE() << "recording without a server";
    } catch (const rararozuvu::AudioCaptureError& error) {
        EXPECT_NE(std::string(error.what()).find("sound server"), std::string::npos)
            << error.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_TRUE(recorder.stop().empty());
    unsetenv("PULSE_SERVER");
}

TEST(AudioRecorder, RootMeanSquare) {
    EXPECT_EQ(AudioRecorder::rms({}), 0.0f);
    const std::vector<float> samples = {3.0f, 4.0f};
    EXPECT_FLOAT_EQ(AudioRecorder::rms(samples), std::sqrt(12.5f));
}

}  // namespace
}  // namespace quillora
