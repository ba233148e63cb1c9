#pragma once

// The dictation key as the settings store and show it. Key codes are the 16-bit virtual key codes
// of the Apple keyboard layout: stored settings, defaults and names all speak them, and KeyTable.h
// maps them to the codes this machine's keyboard reports.

#include <QMetaType>
#include <QString>

#include <cstdint>
#include <unordered_map>
#include <unordered_set>

namespace quillora {

struct Hotkey {
    uint16_t keyCode = 0;
    QString name;

    friend bool operator==(const Hotkey&, const Hotkey&) = default;

    // What a first launch (and the key monitor before it is told otherwise) uses.
    static Hotkey defaultKey();

    // Key code -> the device-dependent flag bit that is set in a flags-changed event while that
    // modifier is down. A dictation key in this table is a "modifier hotkey".
    static const std::unordered_map<uint16_t, uint64_t>& modifierMasks();
    static const std::unordered_map<uint16_t, QString>& modifierNames();
    static const std::unordered_map<uint16_t, QString>& specialNames();
    // Escape and Caps Lock never become the dictation key.
    static const std::unordered_set<uint16_t>& disallowed();

    // Names a key: the modifier or special-key name, else the characters the key types without
    // modifiers (trimmed, upper case), else "Key <code>".
    static Hotkey make(uint16_t keyCode, const QString& charactersIgnoringModifiers);
};

}  // namespace quillora

Q_DECLARE_METATYPE(quillora::Hotkey)
