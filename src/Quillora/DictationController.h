#pragma once

// The one object that runs the application: it turns a held dictation key into a recording and a
// recording into pasted text, keeps the permission state current, loads the chosen speech model
// and publishes the state the tray menu and the settings window show.
//
// Everything it drives sits behind a small interface (DictationServices), so its phases, gates
// and timers run with fakes and a clock of the test's own; makeDesktopServices() gives the real
// pieces. Main thread only: every service reports back on the main thread.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quillora/settings/Hotkey.h"
#include "quillora/settings/ModelChoice.h"

namespace quillora {

class AppSettings;
class HotkeyMonitor;

// The microphone for the length of one dictation.
class DictationRecorder {
public:
    virtual ~DictationRecorder() = default;
    // Each buffer's level (root mean square, full scale 1), on the main thread.
    std::function<void(float)> onLevel;
    // Throws std::exception, whose what() the user sees, when recording cannot start.
    virtual void start(bool avoidBluetooth) = 0;
    // The 16 kHz mono samples since the start; stops the recording.
    virtual std::vector<float> stop() = 0;
};

// The speech model. Work runs elsewhere; `done` runs on the main thread.
class DictationTranscriber {
public:
    // The text, or the reason there is none.
    struct Outcome {
        std::string text;
        std::optional<std::string> failure;
    };
    virtual ~DictationTranscriber() = default;
    // A later load supersedes an earlier one, which may then finish with a failure, or not at
    // all.
    virtual void load(const std::string& modelName,
                      std::function<void(std::optional<std::string> failure)> done) = 0;
    virtual void transcribe(std::vector<float> samples, std::function<void(Outcome)> done) = 0;
};

// The hosted clean-up of a transcript: the cleaned text, or the raw one when there is no API key
// or the service fails. `done` runs on the main thread.
class DictationCleaner {
public:
    virtual ~DictationCleaner() = default;
    virtual void clean(std::string transcript, std::function<void(std::string)> done) = 0;
};

// Types text into the application in front.
class DictationPaster {
public:
    virtual ~DictationPaster() = default;
    virtual void insert(const QString& text) = 0;
};

enum class OverlayMode { listening, working };

// The floating capsule that shows a dictation in progress.
class DictationOverlay {
public:
    virtual ~DictationOverlay() = default;
    virtual void show(OverlayMode mode) = 0;
    virtual void hide() = 0;
    virtual void setLevel(float level) = 0;
};

enum class DictationSound { start, end };

class DictationSounds {
public:
    virtual ~DictationSounds() = default;
    virtual void play(DictationSound sound) = 0;
};

// What the desktop grants: reading the dictation key and typing ("accessibility"), and a
// microphone to record from.
class DictationPermissions {
public:
    virtual ~DictationPermissions() = default;
    virtual bool hasAccessibility() = 0;
    virtual bool hasMicrophone() = 0;
    // Tell the user how to get it.
    virtual void requestMicrophone() = 0;
    virtual void requestAccessibility() = 0;
};

// Time as the controller sees it: QTimer in the program, a hand-turned clock in tests.
class DictationClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~DictationClock() = default;
    virtual TimePoint now() const = 0;
    // Runs `action` once, `delay` from now, on the main thread; never after the clock is gone.
    virtual void singleShot(std::chrono::milliseconds delay, std::function<void()> action) = 0;
};

struct DictationServices {
    std::unique_ptr<DictationRecorder> recorder;
    std::unique_ptr<DictationTranscriber> transcriber;
    std::unique_ptr<DictationCleaner> cleaner;
    std::unique_ptr<DictationPaster> paster;
    std::unique_ptr<DictationOverlay> overlay;
    std::unique_ptr<DictationSounds> sounds;
    std::unique_ptr<DictationPermissions> permissions;
    std::unique_ptr<DictationClock> clock;
};

// The real pieces: PulseAudio recorder and sounds, the speech library on worker threads, the
// clean-up service with the key from the Secret Service, X11 paste, the overlay window, QTimer.
DictationServices makeDesktopServices();

class DictationController : public QObject {
    Q_OBJECT
public:
    struct Phase {
        enum class Kind { loading, error, ready, recording, transcribing };
        Kind kind = Kind::loading;
        QString message;  // loading and error only

        friend bool operator==(const Phase&, const Phase&) = default;
    };

    static constexpr std::chrono::milliseconds releaseTail{350};
    static constexpr std::chrono::milliseconds permissionInterval{2000};
    static constexpr std::chrono::milliseconds minimumDuration{300};
    static constexpr std::size_t minimumSamples = 4800;
    static constexpr float silenceLevel = 0.002f;

    // Reads the permissions once and wires the key monitor and the settings; start() does the
    // rest. `settings` and `hotkeys` must outlive the controller.
    DictationController(AppSettings& settings, HotkeyMonitor& hotkeys,
                        DictationServices services, QObject* parent = nullptr);
    ~DictationController() override;
    DictationController(const DictationController&) = delete;
    DictationController& operator=(const DictationController&) = delete;

    // Makes the settings window the first time showSettings() needs it; the controller keeps
    // it (and deletes it) from then on. Without a factory showSettings() does nothing.
    void setSettingsWindowFactory(std::function<QWidget*()> factory);

    const Phase& phase() const { return phase_; }
    const QString& lastTranscript() const { return lastTranscript_; }
    bool hasAccessibility() const { return hasAccessibility_; }
    bool hasMicrophone() const { return hasMicrophone_; }
    bool permissionsOK() const { return hasAccessibility_ && hasMicrophone_; }
    bool modelReady() const { return modelReady_; }
    // The status line of the menu.
    QString statusText() const;
    AppSettings& settings() { return settings_; }
    QWidget* settingsWindow() const { return settingsWindow_; }

    // Starts the key monitor, the permission refresh and the model load; opens the settings
    // window on a first launch and whenever a permission is missing.
    void start();
    void requestPermissions();
    void refreshPermissions();
    void loadModel(ModelChoice choice);
    void beginRecording();
    void releaseKey();
    void cancelRecording();
    void endRecording();
    void showSettings();
    // Captures the next key as the dictation key (stored in the settings); `completion` gets it,
    // or nothing when the user pressed Escape.
    void recordShortcut(std::function<void(std::optional<Hotkey>)> completion);

Q_SIGNALS:
    // Any published value changed: phase, last transcript, permissions, or a setting.
    void changed();

private:
    void setPhase(Phase phase);
    void setPhase(Phase::Kind kind, const QString& message = {});
    // The recording goes, unheard: microphone and overlay off.
    void discardRecording();
    void transcribed(DictationTranscriber::Outcome outcome);
    void finish(const std::string& text);
    void schedulePermissionRefresh();

    AppSettings& settings_;
    HotkeyMonitor& hotkeys_;
    DictationServices services_;
    std::function<QWidget*()> settingsWindowFactory_;
    QPointer<QWidget> settingsWindow_;

    Phase phase_;
    QString lastTranscript_;
    bool hasAccessibility_ = false;
    bool hasMicrophone_ = false;
    DictationClock::TimePoint recordingStartedAt_;
    bool modelReady_ = false;
    bool isFinishing_ = false;
    bool transcriptionRunning_ = false;
    // Told apart so that only the latest of each acts when it reports back.
    std::uint64_t releaseGeneration_ = 0;
    std::uint64_t loadGeneration_ = 0;
    std::optional<ModelChoice> modelRequested_;
    bool started_ = false;
};

}  // namespace quillora
