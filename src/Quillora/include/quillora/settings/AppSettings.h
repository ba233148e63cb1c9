#pragma once

// Every user choice, kept in the user's settings file (QSettings, INI form, in
// $XDG_CONFIG_HOME/Quillora/Quillora.conf) under the keys older versions used. Each assignment
// signals the new value, then writes it straight through, also when it did not change. Main thread
// only.

#include <QObject>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <initializer_list>
#include <memory>
#include <utility>

#include "quillora/settings/Hotkey.h"
#include "quillora/settings/ModelChoice.h"

namespace quillora {

class AppSettings : public QObject {
    Q_OBJECT
public:
    // Loads every setting; what is missing or unreadable takes its default. Never fails.
    explicit AppSettings(QObject* parent = nullptr);
    ~AppSettings() override;

    // The settings file for the current XDG_CONFIG_HOME (or ~/.config).
    static QString storePath();

    QSettings& defaults() { return *defaults_; }

    const Hotkey& hotkey() const { return hotkey_; }
    void setHotkey(const Hotkey& hotkey);
    ModelChoice model() const { return model_; }
    void setModel(ModelChoice model);
    bool cleanupEnabled() const { return cleanupEnabled_; }
    void setCleanupEnabled(bool enabled);
    bool soundsEnabled() const { return soundsEnabled_; }
    void setSoundsEnabled(bool enabled);
    bool avoidBluetoothMic() const { return avoidBluetoothMic_; }
    void setAvoidBluetoothMic(bool avoid);
    // Loaded for completeness; nothing writes it.
    const QString& microphoneUID() const { return microphoneUID_; }

Q_SIGNALS:
    void hotkeyChanged(const quillora::Hotkey& hotkey);
    void modelChanged(quillora::ModelChoice model);
    void cleanupEnabledChanged(bool enabled);
    void soundsEnabledChanged(bool enabled);
    void avoidBluetoothMicChanged(bool avoid);

private:
    void write(std::initializer_list<std::pair<QString, QVariant>> values);

    std::unique_ptr<QSettings> defaults_;
    Hotkey hotkey_;
    ModelChoice model_ = ModelChoice::balanced;
    bool cleanupEnabled_ = false;
    bool soundsEnabled_ = true;
    bool avoidBluetoothMic_ = true;
    QString microphoneUID_;
};

}  // namespace quillora
