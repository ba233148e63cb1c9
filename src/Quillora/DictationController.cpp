#include "DictationController.h"

#include <QGuiApplication>
#include <QScreen>
#include <QStyle>

#include <utility>

#include "audio/AudioRecorder.h"
#include "quillora/input/HotkeyMonitor.h"
#include "quillora/settings/AppSettings.h"

namespace quillora {

namespace {

const char* const kHasLaunchedBefore = "hasLaunchedBefore";

QString preparing() {
    return QStringLiteral("Preparing speech model… the first time takes a few minutes");
}

}  // namespace

DictationController::DictationController(AppSettings& settings, HotkeyMonitor& hotkeys,
                                         DictationServices services, QObject* parent)
    : QObject(parent), settings_(settings), hotkeys_(hotkeys), services_(std::move(services)) {
    phase_ = {Phase::Kind::loading, QStringLiteral("Starting…")};
    hasAccessibility_ = services_.permissions->hasAccessibility();
    hasMicrophone_ = services_.permissions->hasMicrophone();
    recordingStartedAt_ = services_.clock->now();

    services_.recorder->onLevel = [this](float level) { services_.overlay->setLevel(level); };
    hotkeys_.onPress = [this] { beginRecording(); };
    hotkeys_.onRelease = [this] { releaseKey(); };
    hotkeys_.onInterrupt = [this] { cancelRecording(); };
    hotkeys_.setHotkey(settings_.hotkey());

    // Views that watch only the controller show the settings too.
    connect(&settings_, &AppSettings::hotkeyChanged, this, [this](const Hotkey& hotkey) {
        hotkeys_.setHotkey(hotkey);
        Q_EMIT changed();
    });
    connect(&settings_, &AppSettings::modelChanged, this, [this](ModelChoice choice) {
        // Every assignment is announced, also of the same choice: only a new one loads.
        if (modelRequested_ && *modelRequested_ != choice) {
            loadModel(choice);
        }
        Q_EMIT changed();
    });
    for (auto signal : {&AppSettings::cleanupEnabledChanged, &AppSettings::soundsEnabledChanged,
                        &AppSettings::avoidBluetoothMicChanged}) {
        connect(&settings_, signal, this, &DictationController::changed);
    }
}

DictationController::~DictationController() {
    hotkeys_.onPress = nullptr;
    hotkeys_.onRelease = nullptr;
    hotkeys_.onInterrupt = nullptr;
    if (hotkeys_.isCapturing()) {
        hotkeys_.cancelCapture();
    }
    // Work still running ends here and reports nothing.
    services_ = {};
    delete settingsWindow_.data();
}

void DictationController::setSettingsWindowFactory(std::function<QWidget*()> factory) {
    settingsWindowFactory_ = std::move(factory);
}

QString DictationController::statusText() const {
    switch (phase_.kind) {
        case Phase::Kind::loading:
        case Phase::Kind::error:
            return phase_.message;
        case Phase::Kind::recording:
            return QStringLiteral("Listening…");
        case Phase::Kind::transcribing:
            return QStringLiteral("Transcribing…");
        case Phase::Kind::ready:
            break;
    }
    if (!permissionsOK()) {
        return QStringLiteral("Needs Microphone and Accessibility permission");
    }
    return QStringLiteral("Ready — hold ") + settings_.hotkey().name + QStringLiteral(" and speak");
}

void DictationController::start() {
    if (started_) {
        return;
    }
    started_ = true;
    // Without the input extensions the monitor stays off; the refresh starts it once they are
    // there.
    hotkeys_.start();
    requestPermissions();
    schedulePermissionRefresh();
    loadModel(settings_.model());
    QSettings& defaults = settings_.defaults();
    if (permissionsOK() && defaults.value(kHasLaunchedBefore).toBool()) {
        return;
    }
    defaults.setValue(kHasLaunchedBefore, true);
    defaults.sync();
    showSettings();
}

void DictationController::schedulePermissionRefresh() {
    services_.clock->singleShot(permissionInterval, [this] {
        refreshPermissions();
        schedulePermissionRefresh();
    });
}

void DictationController::requestPermissions() {
    if (!services_.permissions->hasMicrophone()) {
        services_.permissions->requestMicrophone();
    }
    if (!services_.permissions->hasAccessibility()) {
        services_.permissions->requestAccessibility();
    }
}

void DictationController::refreshPermissions() {
    const bool accessibility = services_.permissions->hasAccessibility();
    if (accessibility && !hasAccessibility_) {
        hotkeys_.start();
    }
    bool announce = false;
    if (accessibility != hasAccessibility_) {
        hasAccessibility_ = accessibility;
        announce = true;
    }
    const bool microphone = services_.permissions->hasMicrophone();
    if (microphone != hasMicrophone_) {
        hasMicrophone_ = microphone;
        announce = true;
    }
    if (announce) {
        Q_EMIT changed();
    }
}

void DictationController::loadModel(ModelChoice choice) {
    modelRequested_ = choice;
    // A recording made for the model that goes would end in a transcription nobody can run.
    if (phase_.kind == Phase::Kind::recording) {
        discardRecording();
    }
    modelReady_ = false;
    setPhase(Phase::Kind::loading, preparing());
    const std::uint64_t generation = ++loadGeneration_;
    services_.transcriber->load(
        speechModel(choice).toStdString(),
        [this, generation](std::optional<std::string> failure) {
            if (generation != loadGeneration_) {
                return;  // the user chose another model since: the last choice wins
            }
            if (failure) {
                setPhase(Phase::Kind::error,
                         QStringLiteral("Couldn't load speech model: ") +
                             QString::fromStdString(*failure));
                return;
            }
            modelReady_ = true;
            setPhase(transcriptionRunning_ ? Phase::Kind::transcribing : Phase::Kind::ready);
        });
}

void DictationController::beginRecording() {
    if (!modelReady_) {
        return;
    }
    if (phase_.kind == Phase::Kind::recording || phase_.kind == Phase::Kind::transcribing) {
        return;
    }
    if (!hasMicrophone_) {
        requestPermissions();
        return;
    }
    try {
        services_.recorder->start(settings_.avoidBluetoothMic());
    } catch (const std::exception& e) {
        setPhase(Phase::Kind::error, QStringLiteral("Microphone error: ") + QString::fromUtf8(e.what()));
        return;
    }
    recordingStartedAt_ = services_.clock->now();
    isFinishing_ = false;
    setPhase(Phase::Kind::recording);
    services_.overlay->show(OverlayMode::listening);
    if (settings_.soundsEnabled()) {
        services_.sounds->play(DictationSound::start);
    }
}

void DictationController::releaseKey() {
    if (phase_.kind != Phase::Kind::recording || isFinishing_) {
        return;
    }
    isFinishing_ = true;
    // The last words are often still being spoken as the key goes up. The generation keeps the
    // end of an earlier, cancelled recording from cutting a later one short.
    const std::uint64_t generation = ++releaseGeneration_;
    services_.clock->singleShot(releaseTail, [this, generation] {
        if (isFinishing_ && generation == releaseGeneration_) {
            isFinishing_ = false;
            endRecording();
        }
    });
}

void DictationController::cancelRecording() {
    isFinishing_ = false;
    ++releaseGeneration_;
    if (phase_.kind == Phase::Kind::recording) {
        discardRecording();
    }
}

void DictationController::discardRecording() {
    isFinishing_ = false;
    ++releaseGeneration_;
    services_.recorder->stop();
    services_.overlay->hide();
    if (phase_.kind == Phase::Kind::recording) {
        setPhase(Phase::Kind::ready);
    }
}

void DictationController::endRecording() {
    if (phase_.kind != Phase::Kind::recording) {
        return;
    }
    isFinishing_ = false;
    std::vector<float> samples = services_.recorder->stop();
    const auto duration = services_.clock->now() - recordingStartedAt_;
    if (settings_.soundsEnabled()) {
        services_.sounds->play(DictationSound::end);
    }
    // A tap of the key, or a recording of nothing, must never type anything.
    if (duration < minimumDuration || samples.size() < minimumSamples ||
        !(AudioRecorder::rms(samples) > silenceLevel)) {
        services_.overlay->hide();
        setPhase(Phase::Kind::ready);
        return;
    }
    setPhase(Phase::Kind::transcribing);
    services_.overlay->show(OverlayMode::working);
    transcriptionRunning_ = true;
    services_.transcriber->transcribe(
        std::move(samples),
        [this](DictationTranscriber::Outcome outcome) { transcribed(std::move(outcome)); });
}

void DictationController::transcribed(DictationTranscriber::Outcome outcome) {
    if (outcome.failure) {
        transcriptionRunning_ = false;
        services_.overlay->hide();
        // While another model loads, the phase tells about that load.
        if (modelReady_) {
            setPhase(Phase::Kind::error, QStringLiteral("Transcription failed: ") +
                                             QString::fromStdString(*outcome.failure));
        }
        return;
    }
    if (!outcome.text.empty() && settings_.cleanupEnabled()) {
        services_.cleaner->clean(std::move(outcome.text),
                                 [this](std::string text) { finish(text); });
        return;
    }
    finish(outcome.text);
}

void DictationController::finish(const std::string& text) {
    transcriptionRunning_ = false;
    services_.overlay->hide();
    if (!text.empty()) {
        lastTranscript_ = QString::fromStdString(text);
        services_.paster->insert(lastTranscript_);
        Q_EMIT changed();
    }
    // A load that began meanwhile keeps its own phase until it ends.
    if (modelReady_) {
        setPhase(Phase::Kind::ready);
    }
}

void DictationController::showSettings() {
    if (!settingsWindow_) {
        if (!settingsWindowFactory_) {
            return;
        }
        QWidget* window = settingsWindowFactory_();
        if (!window) {
            return;
        }
        window->setParent(nullptr, Qt::Window);
        window->setAttribute(Qt::WA_DeleteOnClose, false);
        window->setWindowTitle(QStringLiteral("Quillora Settings"));
        window->setMinimumSize(480, 560);
        window->resize(520, 680);
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            window->setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter,
                                                    window->size(), screen->availableGeometry()));
        }
        settingsWindow_ = window;
    }
    settingsWindow_->show();
    settingsWindow_->raise();
    settingsWindow_->activateWindow();
}

void DictationController::recordShortcut(std::function<void(std::optional<Hotkey>)> completion) {
    hotkeys_.startCapture([this, completion = std::move(completion)](std::optional<Hotkey> key) {
        if (key) {
            settings_.setHotkey(*key);
        }
        if (completion) {
            completion(key);
        }
    });
}

void DictationController::setPhase(Phase phase) {
    if (phase == phase_) {
        return;
    }
    phase_ = std::move(phase);
    Q_EMIT changed();
}

void DictationController::setPhase(Phase::Kind kind, const QString& message) {
    setPhase(Phase{kind, message});
}

}  // namespace quillora
