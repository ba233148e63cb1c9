#include "quillora/settings/AppSettings.h"

#include <QStandardPaths>
#include <QVariant>

#include <limits>

namespace quillora {

namespace {

// The INI file keeps every value as text; Qt writes a Boolean as "true" or "false". Anything
// else under a Boolean key (a number, "yes", a list) is not a Boolean.
std::optional<bool> storedBoolean(const QVariant& value) {
    if (value.typeId() == QMetaType::Bool) {
        return value.toBool();
    }
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString();
        if (text == QLatin1String("true")) {
            return true;
        }
        if (text == QLatin1String("false")) {
            return false;
        }
    }
    return std::nullopt;
}

// A stored code is a key code only when it is a whole number in 0...65535; anything else counts
// as no stored key, so a damaged file falls back to the legacy rule instead of naming a key that
// cannot exist.
std::optional<uint16_t> storedKeyCode(const QVariant& value) {
    bool ok = false;
    const qlonglong code = value.toLongLong(&ok);
    if (!ok || code < 0 || code > std::numeric_limits<uint16_t>::max()) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(code);
}

Hotkey legacyHotkey(const QVariant& triggerKey) {
    const QString text =
        triggerKey.typeId() == QMetaType::QString ? triggerKey.toString() : QString();
    if (text == QLatin1String("rightCommand")) {
        return {54, QStringLiteral("Right Command (⌘)")};
    }
    if (text == QLatin1String("fn")) {
        return {63, QStringLiteral("fn / Globe (🌐)")};
    }
    return Hotkey::defaultKey();
}

}  // namespace

QString AppSettings::storePath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Quillora/Quillora.conf");
}

AppSettings::AppSettings(QObject* parent)
    : QObject(parent), defaults_(std::make_unique<QSettings>(storePath(), QSettings::IniFormat)) {
    QSettings& store = *defaults_;

    const QVariant storedName = store.value(QStringLiteral("hotkeyName"));
    std::optional<uint16_t> storedCode;
    if (store.contains(QStringLiteral("hotkeyCode"))) {
        storedCode = storedKeyCode(store.value(QStringLiteral("hotkeyCode")));
    }
    if (storedName.typeId() == QMetaType::QString && storedCode) {
        hotkey_ = Hotkey{*storedCode, storedName.toString()};
    } else {
        hotkey_ = legacyHotkey(store.value(QStringLiteral("triggerKey")));
    }

    soundsEnabled_ = storedBoolean(store.value(QStringLiteral("soundsEnabled"))).value_or(true);
    microphoneUID_ = store.value(QStringLiteral("microphoneUID")).toString();
    avoidBluetoothMic_ =
        storedBoolean(store.value(QStringLiteral("avoidBluetoothMic"))).value_or(true);
    model_ = modelChoiceFromRawValue(store.value(QStringLiteral("model")).toString())
                 .value_or(ModelChoice::balanced);
    // The store's own conversion: any text but "", "0" and "false" is true.
    cleanupEnabled_ = store.value(QStringLiteral("cleanupEnabled"), false).toBool();
}

AppSettings::~AppSettings() = default;

void AppSettings::write(std::initializer_list<std::pair<QString, QVariant>> values) {
    for (const auto& [key, value] : values) {
        defaults_->setValue(key, value);
    }
    // Straight to the file, so another instance or a crash right after sees the choice.
    defaults_->sync();
}

void AppSettings::setHotkey(const Hotkey& hotkey) {
    hotkey_ = hotkey;
    Q_EMIT hotkeyChanged(hotkey_);
    write({{QStringLiteral("hotkeyCode"), static_cast<int>(hotkey_.keyCode)},
           {QStringLiteral("hotkeyName"), hotkey_.name}});
}

void AppSettings::setModel(ModelChoice model) {
    model_ = model;
    Q_EMIT modelChanged(model_);
    write({{QStringLiteral("model"), rawValue(model_)}});
}

void AppSettings::setCleanupEnabled(bool enabled) {
    cleanupEnabled_ = enabled;
    Q_EMIT cleanupEnabledChanged(cleanupEnabled_);
    write({{QStringLiteral("cleanupEnabled"), cleanupEnabled_}});
}

void AppSettings::setSoundsEnabled(bool enabled) {
    soundsEnabled_ = enabled;
    Q_EMIT soundsEnabledChanged(soundsEnabled_);
    write({{QStringLiteral("soundsEnabled"), soundsEnabled_}});
}

void AppSettings::setAvoidBluetoothMic(bool avoid) {
    avoidBluetoothMic_ = avoid;
    Q_EMIT avoidBluetoothMicChanged(avoidBluetoothMic_);
    write({{QStringLiteral("avoidBluetoothMic"), avoidBluetoothMic_}});
}

}  // namespace quillora
