#pragma once

// The program's only window: the dictation key, the microphone choice, the speech model, the
// optional clean-up with its API key, sounds, open at login, and the two things the program needs
// from the desktop. Closing it only hides it; the owner shows the same window again.
//
// The settings controls write straight through to AppSettings. What the window shows of the
// running application (the status line, the two permissions) it is told through its slots, so the
// dictation controller connects its own signals to them. Main thread only.

#include <QString>
#include <QThreadPool>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>

#include "quillora/settings/Hotkey.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quillora {

class AppSettings;
class HotkeyMonitor;

class SettingsWindow : public QWidget {
    Q_OBJECT

public:
    // Both must outlive the window. Capturing a new dictation key goes through the monitor's
    // capture mode (which ends a hold in progress with an interrupt first).
    SettingsWindow(AppSettings& settings, HotkeyMonitor& monitor, QWidget* parent = nullptr);
    ~SettingsWindow() override;
    SettingsWindow(const SettingsWindow&) = delete;
    SettingsWindow& operator=(const SettingsWindow&) = delete;

    // The hint under the dictation key for the current key and permission.
    QString shortcutHint() const;
    // Whether the window waits for the next key to become the dictation key.
    bool isRecordingShortcut() const { return recordingShortcut_; }

public Q_SLOTS:
    // The controller's status line, shown under the model picker.
    void setStatusText(const QString& text);
    // Whether global keys can be read and text typed into other applications; without it the
    // dictation key cannot be changed.
    void setAccessibilityGranted(bool granted);
    // Whether there is a microphone to record from.
    void setMicrophoneGranted(bool granted);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void buildInterface();
    void refreshShortcut();
    void refreshPermissions();
    void changeShortcut();
    void cancelShortcut();
    void loadApiKey();
    void saveApiKey();
    void setLaunchAtLogin(bool enabled);
    void showKeyStatus(const QString& text);

    AppSettings& settings_;
    HotkeyMonitor& monitor_;

    bool hasAccessibility_ = false;
    bool hasMicrophone_ = false;
    bool recordingShortcut_ = false;
    // Counts the user's edits of the key field, so that a keyring answer that arrives after the
    // user typed neither replaces the typing nor claims it was saved.
    std::uint64_t keyEdits_ = 0;

    QLabel* shortcutName_ = nullptr;
    QPushButton* changeShortcut_ = nullptr;
    QLabel* shortcutWaiting_ = nullptr;
    QPushButton* cancelShortcut_ = nullptr;
    QLabel* shortcutHint_ = nullptr;
    QCheckBox* avoidBluetoothMic_ = nullptr;
    QComboBox* model_ = nullptr;
    QLabel* status_ = nullptr;
    QCheckBox* cleanupEnabled_ = nullptr;
    QLineEdit* apiKey_ = nullptr;
    QPushButton* saveKey_ = nullptr;
    QLabel* keyStatus_ = nullptr;
    QCheckBox* soundsEnabled_ = nullptr;
    QCheckBox* launchAtLogin_ = nullptr;
    QLabel* microphoneMark_ = nullptr;
    QPushButton* microphoneHelp_ = nullptr;
    QLabel* accessibilityMark_ = nullptr;
    QPushButton* accessibilityHelp_ = nullptr;

    // The keyring is a D-Bus round trip away and may wait for the user to unlock it: its calls
    // run here, one at a time and in order, so a save is never overtaken by an older read.
    // Destroyed (and waited for) before the widget, so no answer is delivered to a dead window.
    QThreadPool keychainThread_;
};

}  // namespace quillora
