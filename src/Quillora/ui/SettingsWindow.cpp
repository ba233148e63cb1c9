#include "quillora/ui/SettingsWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <QtGlobal>

#include <exception>
#include <utility>

#include "quillora/input/HotkeyMonitor.h"
#include "quillora/settings/AppSettings.h"
#include "quillora/settings/ModelChoice.h"
#include "quillora/text/Keychain.h"
#include "quillora/text/Permissions.h"
#include "quillora/ui/Autostart.h"

namespace quillora {

namespace {

constexpr uint16_t kFnKey = 63;

QString modelLabel(ModelChoice choice) {
    switch (choice) {
        case ModelChoice::fast:
            return QStringLiteral("Fast (English, small download)");
        case ModelChoice::balanced:
            return QStringLiteral("Balanced (English)");
        case ModelChoice::best:
            return QStringLiteral("Most accurate (multilingual, ~630 MB)");
    }
    return {};
}

// Small text in the secondary colour, under the control it explains.
QLabel* caption(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

QLabel* secondary(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

QGroupBox* section(const QString& title, QWidget* parent) {
    auto* box = new QGroupBox(title, parent);
    new QVBoxLayout(box);
    return box;
}

void addRow(QGroupBox* box, QLayout* row) {
    static_cast<QVBoxLayout*>(box->layout())->addLayout(row);
}

void addWidget(QGroupBox* box, QWidget* widget) {
    box->layout()->addWidget(widget);
}

void setMark(QLabel* mark, bool granted) {
    mark->setText(granted ? QStringLiteral("✔") : QStringLiteral("✖"));
    mark->setStyleSheet(granted ? QStringLiteral("color: #2e9d46;")
                                : QStringLiteral("color: #d23c3c;"));
}

}  // namespace

SettingsWindow::SettingsWindow(AppSettings& settings, HotkeyMonitor& monitor, QWidget* parent)
    : QWidget(parent), settings_(settings), monitor_(monitor) {
    setWindowTitle(QStringLiteral("Quillora Settings"));
    setMinimumSize(480, 560);
    resize(520, 680);
    keychainThread_.setMaxThreadCount(1);
    buildInterface();

    connect(&settings_, &AppSettings::hotkeyChanged, this, [this] { refreshShortcut(); });
    connect(&settings_, &AppSettings::avoidBluetoothMicChanged, this, [this](bool avoid) {
        const QSignalBlocker block(avoidBluetoothMic_);
        avoidBluetoothMic_->setChecked(avoid);
    });
    connect(&settings_, &AppSettings::modelChanged, this, [this](ModelChoice choice) {
        const QSignalBlocker block(model_);
        model_->setCurrentIndex(model_->findData(rawValue(choice)));
    });
    connect(&settings_, &AppSettings::cleanupEnabledChanged, this, [this](bool enabled) {
        const QSignalBlocker block(cleanupEnabled_);
        cleanupEnabled_->setChecked(enabled);
    });
    connect(&settings_, &AppSettings::soundsEnabledChanged, this, [this](bool enabled) {
        const QSignalBlocker block(soundsEnabled_);
        soundsEnabled_->setChecked(enabled);
    });
}

SettingsWindow::~SettingsWindow() {
    if (recordingShortcut_) {
        monitor_.cancelCapture();
    }
    // A request still queued is not worth waiting for; one already talking to the keyring is.
    keychainThread_.clear();
    keychainThread_.waitForDone();
}

void SettingsWindow::buildInterface() {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    outer->addWidget(scroll);
    auto* content = new QWidget(scroll);
    scroll->setWidget(content);
    auto* form = new QVBoxLayout(content);

    // Shortcut
    auto* shortcut = section(QStringLiteral("Shortcut"), content);
    auto* shortcutRow = new QHBoxLayout;
    shortcutRow->addWidget(new QLabel(QStringLiteral("Hold to dictate"), shortcut));
    shortcutRow->addStretch();
    shortcutName_ = new QLabel(shortcut);
    shortcutName_->setObjectName(QStringLiteral("shortcutName"));
    QFont semibold = shortcutName_->font();
    semibold.setWeight(QFont::DemiBold);
    shortcutName_->setFont(semibold);
    shortcutRow->addWidget(shortcutName_);
    changeShortcut_ = new QPushButton(QStringLiteral("Change…"), shortcut);
    changeShortcut_->setObjectName(QStringLiteral("changeShortcut"));
    shortcutRow->addWidget(changeShortcut_);
    shortcutWaiting_ = secondary(QStringLiteral("Press any key… (Esc to cancel)"), shortcut);
    shortcutWaiting_->setObjectName(QStringLiteral("shortcutWaiting"));
    shortcutRow->addWidget(shortcutWaiting_);
    cancelShortcut_ = new QPushButton(QStringLiteral("Cancel"), shortcut);
    cancelShortcut_->setObjectName(QStringLiteral("cancelShortcut"));
    shortcutRow->addWidget(cancelShortcut_);
    addRow(shortcut, shortcutRow);
    shortcutHint_ = caption(QString(), shortcut);
    shortcutHint_->setObjectName(QStringLiteral("shortcutHint"));
    addWidget(shortcut, shortcutHint_);
    form->addWidget(shortcut);
    connect(changeShortcut_, &QPushButton::clicked, this, [this] { changeShortcut(); });
    connect(cancelShortcut_, &QPushButton::clicked, this, [this] { cancelShortcut(); });

    // Microphone
    auto* microphone = section(QStringLiteral("Microphone"), content);
    avoidBluetoothMic_ = new QCheckBox(
        QStringLiteral("Use this computer's own microphone when Bluetooth headphones are "
                       "connected"),
        microphone);
    avoidBluetoothMic_->setObjectName(QStringLiteral("avoidBluetoothMic"));
    avoidBluetoothMic_->setChecked(settings_.avoidBluetoothMic());
    addWidget(microphone, avoidBluetoothMic_);
    addWidget(microphone,
              caption(QStringLiteral("Recommended. Bluetooth headset mics send low-quality audio, "
                                     "so Quillora listens with your computer's built-in "
                                     "microphone instead. Your headphones keep playing sound "
                                     "normally."),
                      microphone));
    form->addWidget(microphone);
    connect(avoidBluetoothMic_, &QCheckBox::toggled, this,
            [this](bool checked) { settings_.setAvoidBluetoothMic(checked); });

    // Speech model
    auto* speech =
        section(QStringLiteral("Speech model — runs privately on this computer"), content);
    auto* modelRow = new QHBoxLayout;
    auto* modelLabelText = new QLabel(QStringLiteral("Model"), speech);
    modelRow->addWidget(modelLabelText);
    model_ = new QComboBox(speech);
    model_->setObjectName(QStringLiteral("model"));
    for (ModelChoice choice : allModelChoices) {
        model_->addItem(modelLabel(choice), rawValue(choice));
    }
    model_->setCurrentIndex(model_->findData(rawValue(settings_.model())));
    modelLabelText->setBuddy(model_);
    modelRow->addWidget(model_, 1);
    addRow(speech, modelRow);
    status_ = caption(QString(), speech);
    status_->setObjectName(QStringLiteral("status"));
    addWidget(speech, status_);
    form->addWidget(speech);
    connect(model_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (auto choice = modelChoiceFromRawValue(model_->itemData(index).toString())) {
            settings_.setModel(*choice);
        }
    });

    // AI cleanup
    auto* cleanup = section(QStringLiteral("AI cleanup (optional)"), content);
    cleanupEnabled_ = new QCheckBox(QStringLiteral("Polish dictation with Claude"), cleanup);
    cleanupEnabled_->setObjectName(QStringLiteral("cleanupEnabled"));
    cleanupEnabled_->setChecked(settings_.cleanupEnabled());
    addWidget(cleanup, cleanupEnabled_);
    auto* keyRow = new QHBoxLayout;
    auto* keyLabel = new QLabel(QStringLiteral("Anthropic API key"), cleanup);
    keyRow->addWidget(keyLabel);
    apiKey_ = new QLineEdit(cleanup);
    apiKey_->setObjectName(QStringLiteral("apiKey"));
    apiKey_->setEchoMode(QLineEdit::Password);
    apiKey_->setPlaceholderText(QStringLiteral("Anthropic API key"));
    keyLabel->setBuddy(apiKey_);
    keyRow->addWidget(apiKey_, 1);
    addRow(cleanup, keyRow);
    auto* saveRow = new QHBoxLayout;
    saveKey_ = new QPushButton(QStringLiteral("Save Key"), cleanup);
    saveKey_->setObjectName(QStringLiteral("saveKey"));
    saveRow->addWidget(saveKey_);
    keyStatus_ = secondary(QString(), cleanup);
    keyStatus_->setObjectName(QStringLiteral("keyStatus"));
    keyStatus_->setWordWrap(true);
    keyStatus_->hide();
    saveRow->addWidget(keyStatus_, 1);
    saveRow->addStretch();
    addRow(cleanup, saveRow);
    addWidget(cleanup,
              caption(QStringLiteral("Removes filler words, fixes punctuation and applies "
                                     "corrections like “no, I mean…”. Only the text is sent to "
                                     "Anthropic, never your audio. If cleanup fails, the raw "
                                     "transcript is pasted instead."),
                      cleanup));
    form->addWidget(cleanup);
    connect(cleanupEnabled_, &QCheckBox::toggled, this,
            [this](bool checked) { settings_.setCleanupEnabled(checked); });
    connect(apiKey_, &QLineEdit::textEdited, this, [this] {
        ++keyEdits_;
        keyStatus_->hide();
    });
    connect(saveKey_, &QPushButton::clicked, this, [this] { saveApiKey(); });

    // General
    auto* general = section(QStringLiteral("General"), content);
    soundsEnabled_ =
        new QCheckBox(QStringLiteral("Play a sound when listening starts and stops"), general);
    soundsEnabled_->setObjectName(QStringLiteral("soundsEnabled"));
    soundsEnabled_->setChecked(settings_.soundsEnabled());
    addWidget(general, soundsEnabled_);
    launchAtLogin_ = new QCheckBox(QStringLiteral("Open Quillora at login"), general);
    launchAtLogin_->setObjectName(QStringLiteral("launchAtLogin"));
    addWidget(general, launchAtLogin_);
    form->addWidget(general);
    connect(soundsEnabled_, &QCheckBox::toggled, this,
            [this](bool checked) { settings_.setSoundsEnabled(checked); });
    connect(launchAtLogin_, &QCheckBox::toggled, this,
            [this](bool checked) { setLaunchAtLogin(checked); });

    // Permissions
    auto* permissions = section(QStringLiteral("Permissions"), content);
    auto permissionRow = [&](const QString& title, const QString& name, QLabel*& mark,
                             QPushButton*& help, Permissions::Pane pane) {
        auto* row = new QHBoxLayout;
        mark = new QLabel(permissions);
        mark->setObjectName(name + QStringLiteral("Mark"));
        row->addWidget(mark);
        row->addWidget(new QLabel(title, permissions));
        row->addStretch();
        help = new QPushButton(QStringLiteral("Show How…"), permissions);
        help->setObjectName(name + QStringLiteral("Help"));
        row->addWidget(help);
        addRow(permissions, row);
        connect(help, &QPushButton::clicked, this,
                [this, pane] { Permissions::openPrivacyPane(pane, this); });
    };
    permissionRow(QStringLiteral("Microphone"), QStringLiteral("microphone"), microphoneMark_,
                  microphoneHelp_, Permissions::Pane::microphone);
    permissionRow(QStringLiteral("Accessibility (lets Quillora type into other apps)"),
                  QStringLiteral("accessibility"), accessibilityMark_, accessibilityHelp_,
                  Permissions::Pane::accessibility);
    form->addWidget(permissions);
    form->addStretch();

    refreshShortcut();
    refreshPermissions();
}

QString SettingsWindow::shortcutHint() const {
    const Hotkey& key = settings_.hotkey();
    if (!hasAccessibility_) {
        return QStringLiteral("Turn on Accessibility for Quillora (below) to change the shortcut.");
    }
    if (key.keyCode == kFnKey) {
        // The keyboard handles fn itself; the X server never passes it on to a program.
        return QStringLiteral(
            "The fn / Globe key never reaches programs on this desktop. Click Change… and press "
            "another key, such as Right Control or an F-key.");
    }
    if (Hotkey::modifierMasks().contains(key.keyCode)) {
        return QStringLiteral(
            "Click Change… and press any key, such as Left Control or an F-key. Pressing another "
            "key while holding cancels, so your normal shortcuts still work.");
    }
    return QStringLiteral("While it's your dictation key, ") + key.name +
           QStringLiteral(" won't do its usual job in other apps.");
}

void SettingsWindow::refreshShortcut() {
    shortcutName_->setText(settings_.hotkey().name);
    shortcutName_->setVisible(!recordingShortcut_);
    changeShortcut_->setVisible(!recordingShortcut_);
    changeShortcut_->setEnabled(hasAccessibility_);
    shortcutWaiting_->setVisible(recordingShortcut_);
    cancelShortcut_->setVisible(recordingShortcut_);
    shortcutHint_->setText(shortcutHint());
}

void SettingsWindow::refreshPermissions() {
    setMark(microphoneMark_, hasMicrophone_);
    microphoneHelp_->setVisible(!hasMicrophone_);
    setMark(accessibilityMark_, hasAccessibility_);
    accessibilityHelp_->setVisible(!hasAccessibility_);
}

void SettingsWindow::setStatusText(const QString& text) {
    status_->setText(text);
}

void SettingsWindow::setAccessibilityGranted(bool granted) {
    hasAccessibility_ = granted;
    refreshShortcut();
    refreshPermissions();
}

void SettingsWindow::setMicrophoneGranted(bool granted) {
    hasMicrophone_ = granted;
    refreshPermissions();
}

void SettingsWindow::changeShortcut() {
    recordingShortcut_ = true;
    refreshShortcut();
    // The monitor keeps the handler only until it reports, and the window cancels the capture
    // before it goes, so `this` is alive whenever the handler runs.
    monitor_.startCapture([this](std::optional<Hotkey> key) {
        if (key) {
            settings_.setHotkey(*key);
        }
        recordingShortcut_ = false;
        refreshShortcut();
    });
}

void SettingsWindow::cancelShortcut() {
    if (!recordingShortcut_) {
        return;
    }
    monitor_.cancelCapture();
    recordingShortcut_ = false;
    refreshShortcut();
}

void SettingsWindow::showKeyStatus(const QString& text) {
    keyStatus_->setText(text);
    keyStatus_->show();
}

void SettingsWindow::loadApiKey() {
    keyStatus_->hide();
    const std::uint64_t edits = keyEdits_;
    keychainThread_.start([this, edits] {
        std::optional<std::string> key;
        QString error;
        try {
            key = Keychain::get(std::string(Keychain::apiKeyAccount));
        } catch (const std::exception& e) {
            error = QString::fromStdString(e.what());
        }
        QMetaObject::invokeMethod(
            this,
            [this, edits, key = std::move(key), error] {
                // What the user typed meanwhile wins over what the keyring held.
                if (edits != keyEdits_) {
                    return;
                }
                apiKey_->setText(key ? QString::fromStdString(*key) : QString());
                if (!error.isEmpty()) {
                    showKeyStatus(QStringLiteral("Couldn't read the saved key: ") + error);
                }
            },
            Qt::QueuedConnection);
    });
}

void SettingsWindow::saveApiKey() {
    keyStatus_->hide();
    // The field keeps what the user typed; the keyring gets it without surrounding blanks, and
    // a blank field removes the stored key.
    const std::string value = apiKey_->text().trimmed().toStdString();
    const std::uint64_t edits = keyEdits_;
    keychainThread_.start([this, edits, value] {
        QString error;
        try {
            Keychain::set(value, std::string(Keychain::apiKeyAccount));
        } catch (const std::exception& e) {
            error = QString::fromStdString(e.what());
        }
        QMetaObject::invokeMethod(
            this,
            [this, edits, error] {
                if (!error.isEmpty()) {
                    // Never "Saved" for a key the keyring did not take.
                    showKeyStatus(QStringLiteral("Not saved: ") + error);
                } else if (edits == keyEdits_) {
                    showKeyStatus(QStringLiteral("Saved"));
                }
            },
            Qt::QueuedConnection);
    });
}

void SettingsWindow::setLaunchAtLogin(bool enabled) {
    // The box keeps the user's choice; the next time the window opens it shows the entry as it
    // really is.
    try {
        Autostart::setEnabled(enabled, Autostart::currentProgram());
    } catch (const Autostart::Error& e) {
        qWarning("Quillora: could not change opening at login: %s", e.what());
    }
}

void SettingsWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous()) {
        return;
    }
    loadApiKey();
    const QSignalBlocker block(launchAtLogin_);
    launchAtLogin_->setChecked(Autostart::isEnabled());
}

void SettingsWindow::hideEvent(QHideEvent* event) {
    // A hidden window waiting for a key would make whatever key the user presses next the
    // dictation key, without telling them.
    cancelShortcut();
    QWidget::hideEvent(event);
}

}  // namespace quillora
