// From the end of a recording to its words in the window in front, on a private Xvfb with the
// real speech model wrapper (the tiny model trained on synthetic speech, already warm), the real
// paste and a 5 s utterance: what the user waits for once the key is up. The controller's 0.35 s
// tail after the release comes on top of it by design (it keeps the last words).

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

#include "DictationController.h"
#include "PrivateHome.h"
#include "Receiver.h"
#include "WaitFor.h"
#include "XvfbServer.h"
#include "ml/whisper/WhisperConverter.h"
#include "quillora/input/HotkeyMonitor.h"
#include "quillora/settings/AppSettings.h"
#include "rararozuvu/audio/AudioProcessor.h"

namespace {

namespace fs = std::filesystem;
using namespace quillora;
using Clock = std::chrono::steady_clock;

const fs::path kShared = QUILLORA_SHARED_DIR;

class Utterance final : public DictationRecorder {
public:
    void start(bool) override {}
    std::vector<float> stop() override { return samples; }
    std::vector<float> samples;
};

class Granted final : public DictationPermissions {
public:
    bool hasAccessibility() override { return true; }
    bool hasMicrophone() override { return true; }
    void requestMicrophone() override {}
    void requestAccessibility() override {}
};

class Quiet final : public DictationSounds {
public:
    void play(DictationSound) override {}
};

// Real timers; time jumps on by the length of the utterance while the key is "held".
class HeldClock final : public DictationClock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now() + skipped; }
    void singleShot(std::chrono::milliseconds delay, std::function<void()> action) override {
        QTimer::singleShot(delay, &context_, std::move(action));
    }
    std::chrono::steady_clock::duration skipped{};

private:
    QObject context_;
};

class NoKeys final : public HotkeyMonitor {
public:
    Hotkey hotkey() const override { return key_; }
    void setHotkey(const Hotkey& hotkey) override { key_ = hotkey; }
    bool start() override { return true; }
    void stop() override {}
    bool isRunning() const override { return true; }
    QString problem() const override { return {}; }
    void startCapture(CaptureHandler) override {}
    void cancelCapture() override {}
    bool isCapturing() const override { return false; }

private:
    Hotkey key_ = Hotkey::defaultKey();
};

void BM_RecordingEndToText(benchmark::State& state) {
    const fs::path checkpoint = kShared / "models/tiny-en-synth";
    if (!fs::exists(checkpoint)) {
        state.SkipWithError("the synthetic-speech model is not on this machine");
        return;
    }
    quillora::testing::PrivateHome home;
    // The model of the default choice, as a download made before; the hub is out of reach.
    home.setEnvironment("HUB_ENDPOINT", "http://127.0.0.1:9");
    ml::WhisperConverter::convert(checkpoint, home.dataHome() / "Quillora/Models/models" /
                                                  "vevidoinc/rararozuvu-coreml" /
                                                  "openai_whisper-small.en");

    DictationServices services = makeDesktopServices();
    auto utterance = std::make_unique<Utterance>();
    utterance->samples = rararozuvu::AudioProcessor::loadAudioAsFloatArray(
        (kShared / "data/audio-synth/sample_000.wav").string(),
        rararozuvu::AudioProcessor::ChannelMode::sumChannels(), 0.0, 5.0);
    services.recorder = std::move(utterance);
    services.permissions = std::make_unique<Granted>();
    services.sounds = std::make_unique<Quiet>();
    auto clock = std::make_unique<HeldClock>();
    HeldClock& held = *clock;
    services.clock = std::move(clock);
    AppSettings settings;
    NoKeys keys;
    DictationController controller(settings, keys, std::move(services));
    controller.start();
    if (!quillora::testing::waitFor([&] { return controller.modelReady(); },
                                    std::chrono::minutes(2), quillora::testing::processEvents)) {
        state.SkipWithError("the model did not load");
        return;
    }

    quillora::testing::Receiver receiver;
    if (!receiver.takeFocus()) {
        state.SkipWithError("the receiver did not get the focus");
        return;
    }
    auto* field = receiver.findChild<QPlainTextEdit*>();
    // One dictation from the end of the recording to its text; nothing when none arrives.
    const auto dictate = [&]() -> std::optional<double> {
        field->clear();
        controller.beginRecording();
        held.skipped += std::chrono::seconds(5);
        const Clock::time_point start = Clock::now();
        controller.endRecording();
        if (!quillora::testing::waitFor(
                [&] { return !receiver.text().isEmpty(); }, std::chrono::seconds(30),
                [] { QApplication::processEvents(QEventLoop::AllEvents, 1); })) {
            return std::nullopt;
        }
        const std::chrono::duration<double> elapsed = Clock::now() - start;
        quillora::testing::waitFor(
            [&] { return controller.phase().kind == DictationController::Phase::Kind::ready; },
            std::chrono::seconds(10), quillora::testing::processEvents);
        return elapsed.count();
    };
    if (!dictate()) {  // the first one after the warm-up is not counted either
        state.SkipWithError("no text arrived");
        return;
    }
    std::vector<double> milliseconds;
    for (auto _ : state) {
        const std::optional<double> seconds = dictate();
        if (!seconds) {
            state.SkipWithError("no text arrived");
            return;
        }
        state.SetIterationTime(*seconds);
        milliseconds.push_back(*seconds * 1000.0);
    }
    if (milliseconds.empty()) {
        return;
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    state.counters["median_ms"] = milliseconds[milliseconds.size() / 2];
    state.counters["max_ms"] = milliseconds.back();
    state.SetLabel(receiver.text().toStdString());
}
BENCHMARK(BM_RecordingEndToText)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    quillora::testing::XvfbServer display;
    setenv("XDG_SESSION_TYPE", "x11", 1);
    unsetenv("WAYLAND_DISPLAY");
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
