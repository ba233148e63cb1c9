#include "quillora/settings/Hotkey.h"

namespace quillora {

Hotkey Hotkey::defaultKey() {
    return Hotkey{61, QStringLiteral("Right Option (⌥)")};
}

const std::unordered_map<uint16_t, uint64_t>& Hotkey::modifierMasks() {
    static const std::unordered_map<uint16_t, uint64_t> masks{
        {59, 0x1},  {62, 0x2000}, {56, 0x2},  {60, 0x4},      {55, 0x8},
        {54, 0x10}, {58, 0x20},   {61, 0x40}, {63, 0x800000},
    };
    return masks;
}

const std::unordered_map<uint16_t, QString>& Hotkey::modifierNames() {
    static const std::unordered_map<uint16_t, QString> names{
        {59, QStringLiteral("Left Control (⌃)")}, {62, QStringLiteral("Right Control (⌃)")},
        {56, QStringLiteral("Left Shift (⇧)")},   {60, QStringLiteral("Right Shift (⇧)")},
        {55, QStringLiteral("Left Command (⌘)")}, {54, QStringLiteral("Right Command (⌘)")},
        {58, QStringLiteral("Left Option (⌥)")},  {61, QStringLiteral("Right Option (⌥)")},
        {63, QStringLiteral("fn / Globe (🌐)")},
    };
    return names;
}

const std::unordered_map<uint16_t, QString>& Hotkey::specialNames() {
    static const std::unordered_map<uint16_t, QString> names{
        {49, QStringLiteral("Space")},        {36, QStringLiteral("Return")},
        {76, QStringLiteral("Enter")},        {48, QStringLiteral("Tab")},
        {51, QStringLiteral("Delete")},       {117, QStringLiteral("Forward Delete")},
        {115, QStringLiteral("Home")},        {119, QStringLiteral("End")},
        {116, QStringLiteral("Page Up")},     {121, QStringLiteral("Page Down")},
        {114, QStringLiteral("Help")},        {123, QStringLiteral("Left Arrow")},
        {124, QStringLiteral("Right Arrow")}, {125, QStringLiteral("Down Arrow")},
        {126, QStringLiteral("Up Arrow")},    {122, QStringLiteral("F1")},
        {120, QStringLiteral("F2")},          {99, QStringLiteral("F3")},
        {118, QStringLiteral("F4")},          {96, QStringLiteral("F5")},
        {97, QStringLiteral("F6")},           {98, QStringLiteral("F7")},
        {100, QStringLiteral("F8")},          {101, QStringLiteral("F9")},
        {109, QStringLiteral("F10")},         {103, QStringLiteral("F11")},
        {111, QStringLiteral("F12")},         {105, QStringLiteral("F13")},
        {107, QStringLiteral("F14")},         {113, QStringLiteral("F15")},
        {106, QStringLiteral("F16")},         {64, QStringLiteral("F17")},
        {79, QStringLiteral("F18")},          {80, QStringLiteral("F19")},
        {90, QStringLiteral("F20")},
    };
    return names;
}

const std::unordered_set<uint16_t>& Hotkey::disallowed() {
    static const std::unordered_set<uint16_t> keys{53, 57};
    return keys;
}

Hotkey Hotkey::make(uint16_t keyCode, const QString& charactersIgnoringModifiers) {
    if (auto it = modifierNames().find(keyCode); it != modifierNames().end()) {
        return {keyCode, it->second};
    }
    if (auto it = specialNames().find(keyCode); it != specialNames().end()) {
        return {keyCode, it->second};
    }
    QString typed = charactersIgnoringModifiers.trimmed();
    if (!typed.isEmpty()) {
        return {keyCode, typed.toUpper()};
    }
    return {keyCode, QStringLiteral("Key %1").arg(keyCode)};
}

}  // namespace quillora
