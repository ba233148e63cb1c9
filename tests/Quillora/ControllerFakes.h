#pragma once

// Fakes of what the dictation controller drives, each keeping a log the tests read, and a clock
// the test turns by hand. The speech model's loads and transcriptions wait until the test
// finishes them, in any order.

#include <QString>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "DictationController.h"
#include "PrivateHome.h"
#include "quillora/input/HotkeyMonitor.h"
#include "quillora/settings/AppSettings.h"

// Readable failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace quillora::testing {

// Everything the fakes do, in order, as short words.
struct FakeLog {
    QStringList events;
    void add(const QString& event) { events.push_back(event); }
};

class FakeRecorder final : public DictationRecorder {
public:
    explicit FakeRecorder(FakeLog& log) : log_(log) {}
    void start(bool avoidBluetooth) override {
        if (failure) {
            throw std::runtime_error(*failure);
        }
        log_.add(avoidBluetooth ? "mic on (no bluetooth)" : "mic on");
    }
    std::vector<float> stop() override {
        log_.add("mic off");
        return samples;
    }
    std::vector<float> samples;
    std::optional<std::string> failure;

private:
    FakeLog& log_;
};

class FakeTranscriber final : public DictationTranscriber {
public:
    explicit FakeTranscriber(FakeLog& log) : log_(log) {}
    void load(const std::string& modelName,
              std::function<void(std::optional<std::string>)> done) override {
        log_.add(QString::fromStdString("load " + modelName));
        loads.push_back({modelName, std::move(done)});
    }
    void transcribe(std::vector<float> samples, std::function<void(Outcome)> done) override {
        log_.add(QStringLiteral("transcribe %1").arg(samples.size()));
        transcriptions.push_back(std::move(done));
    }
    // Finishes the pending load of that model (the oldest when there are more).
    void finishLoad(const std::string& modelName, std::optional<std::string> failure = {}) {
        const auto found = std::find_if(loads.begin(), loads.end(),
                                        [&](const auto& load) { return load.first == modelName; });
        if (found == loads.end()) {
            throw std::logic_error("no load of " + modelName + " is pending");
        }
        auto done = std::move(found->second);
        loads.erase(found);
        done(std::move(failure));
    }
    void finishTranscription(Outcome outcome) {
        if (transcriptions.empty()) {
            throw std::logic_error("no transcription is pending");
        }
        auto done = std::move(transcriptions.front());
        transcriptions.erase(transcriptions.begin());
        done(std::move(outcome));
    }

    std::vector<std::pair<std::string, std::function<void(std::optional<std::string>)>>> loads;
    std::vector<std::function<void(Outcome)>> transcriptions;

private:
    FakeLog& log_;
};

class FakeCleaner final : public DictationCleaner {
public:
    explicit FakeCleaner(FakeLog& log) : log_(log) {}
    void clean(std::string transcript, std::function<void(std::string)> done) override {
        log_.add(QString::fromStdString("clean " + transcript));
        done("Cleaned: " + transcript);
    }

private:
    FakeLog& log_;
};

class FakePaster final : public DictationPaster {
public:
    explicit FakePaster(FakeLog& log) : log_(log) {}
    void insert(const QString& text) override { log_.add("paste " + text); }

private:
    FakeLog& log_;
};

class FakeOverlay final : public DictationOverlay {
public:
    explicit FakeOverlay(FakeLog& log) : log_(log) {}
    void show(OverlayMode mode) override {
        log_.add(mode == OverlayMode::listening ? "overlay listening" : "overlay working");
    }
    void hide() override { log_.add("overlay off"); }
    void setLevel(float value) override { level = value; }
    float level = 0;

private:
    FakeLog& log_;
};

class FakeSounds final : public DictationSounds {
public:
    explicit FakeSounds(FakeLog& log) : log_(log) {}
    void play(DictationSound sound) override {
        log_.add(sound == DictationSound::start ? "sound start" : "sound end");
    }

private:
    FakeLog& log_;
};

class FakePermissions final : public DictationPermissions {
public:
    explicit FakePermissions(FakeLog& log) : log_(log) {}
    bool hasAccessibility() override { return accessibility; }
    bool hasMicrophone() override { return microphone; }
    void requestMicrophone() override { log_.add("ask microphone"); }
    void requestAccessibility() override { log_.add("ask accessibility"); }
    bool accessibility = true;
    bool microphone = true;

private:
    FakeLog& log_;
};

class FakeClock final : public DictationClock {
public:
    TimePoint now() const override { return now_; }
    void singleShot(std::chrono::milliseconds delay, std::function<void()> action) override {
        timers_.push_back({now_ + delay, std::move(action)});
    }
    // Moves time on, running every timer that falls due on the way, in the order they are due.
    void advance(std::chrono::milliseconds step) {
        const TimePoint end = now_ + step;
        for (;;) {
            auto next = std::min_element(timers_.begin(), timers_.end(),
                                         [](const auto& a, const auto& b) { return a.first < b.first; });
            if (next == timers_.end() || next->first > end) {
                break;
            }
            now_ = next->first;
            auto action = std::move(next->second);
            timers_.erase(next);
            action();
        }
        now_ = end;
    }

private:
    TimePoint now_{std::chrono::hours(1)};
    std::vector<std::pair<TimePoint, std::function<void()>>> timers_;
};

class FakeHotkeyMonitor final : public HotkeyMonitor {
public:
    explicit FakeHotkeyMonitor(FakeLog& log) : log_(log) {}
    Hotkey hotkey() const override { return hotkey_; }
    void setHotkey(const Hotkey& hotkey) override { hotkey_ = hotkey; }
    bool start() override {
        log_.add("keys on");
        running_ = true;
        return true;
    }
    void stop() override { running_ = false; }
    bool isRunning() const override { return running_; }
    QString problem() const override { return {}; }
    void startCapture(CaptureHandler handler) override { capture = std::move(handler); }
    void cancelCapture() override { capture = nullptr; }
    bool isCapturing() const override { return static_cast<bool>(capture); }
    CaptureHandler capture;

private:
    FakeLog& log_;
    Hotkey hotkey_ = Hotkey::defaultKey();
    bool running_ = false;
};

// A controller over fakes, with its settings in a private home.
struct ControllerRig {
    // `before` sees the fakes and the settings before the controller is made. Without
    // `keepHome` the rig has a private home of its own.
    explicit ControllerRig(const std::function<void(ControllerRig&)>& before = {},
                           bool keepHome = false) {
        if (!keepHome) {
            home.emplace();
        }
        auto services = DictationServices{
            std::make_unique<FakeRecorder>(log),      std::make_unique<FakeTranscriber>(log),
            std::make_unique<FakeCleaner>(log),       std::make_unique<FakePaster>(log),
            std::make_unique<FakeOverlay>(log),       std::make_unique<FakeSounds>(log),
            std::make_unique<FakePermissions>(log),   std::make_unique<FakeClock>()};
        recorder = static_cast<FakeRecorder*>(services.recorder.get());
        transcriber = static_cast<FakeTranscriber*>(services.transcriber.get());
        overlay = static_cast<FakeOverlay*>(services.overlay.get());
        permissions = static_cast<FakePermissions*>(services.permissions.get());
        clock = static_cast<FakeClock*>(services.clock.get());
        settings = std::make_unique<AppSettings>();
        // Set before the controller reads them.
        if (before) {
            before(*this);
        }
        controller = std::make_unique<DictationController>(*settings, hotkeys, std::move(services));
    }

    std::optional<PrivateHome> home;
    FakeLog log;
    FakeHotkeyMonitor hotkeys{log};
    std::unique_ptr<AppSettings> settings;
    FakeRecorder* recorder = nullptr;
    FakeTranscriber* transcriber = nullptr;
    FakeOverlay* overlay = nullptr;
    FakePermissions* permissions = nullptr;
    FakeClock* clock = nullptr;
    std::unique_ptr<DictationController> controller;
};

}  // namespace quillora::testing
