// Key names, model choices and the table between the settings' key codes and this machine's.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "quillora/settings/Hotkey.h"
#include "quillora/settings/KeyTable.h"
#include "quillora/settings/ModelChoice.h"

namespace quillora {
namespace {

TEST(Hotkey, NamesAKeyByTableThenTypedCharactersThenCode) {
    struct Case {
        uint16_t keyCode;
        QString characters;
        QString name;
    };
    const std::vector<Case> cases{
        {59, QStringLiteral("x"), QStringLiteral("Left Control (⌃)")},  // tables come first
        {63, {}, QStringLiteral("fn / Globe (🌐)")},
        {49, QStringLiteral(" "), QStringLiteral("Space")},
        {111, {}, QStringLiteral("F12")},
        {12, QStringLiteral("q"), QStringLiteral("Q")},
        {10, QStringLiteral("§"), QStringLiteral("§")},
        {0, QStringLiteral(" ä\n"), QStringLiteral("Ä")},
        {0, QStringLiteral(" \n"), QStringLiteral("Key 0")},
        {200, {}, QStringLiteral("Key 200")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keyCode);
        EXPECT_EQ(Hotkey::make(c.keyCode, c.characters), (Hotkey{c.keyCode, c.name}));
    }
}

TEST(Hotkey, EqualOnlyWhenCodeAndNameAre) {
    EXPECT_EQ((Hotkey{61, QStringLiteral("A")}), (Hotkey{61, QStringLiteral("A")}));
    EXPECT_NE((Hotkey{61, QStringLiteral("A")}), (Hotkey{61, QStringLiteral("B")}));
    EXPECT_NE((Hotkey{61, QStringLiteral("A")}), (Hotkey{62, QStringLiteral("A")}));
}

TEST(ModelChoice, RawValuesAndModels) {
    std::vector<QString> raw;
    for (ModelChoice choice : allModelChoices) {
        raw.push_back(rawValue(choice));
        EXPECT_EQ(modelChoiceFromRawValue(rawValue(choice)), choice);
    }
    EXPECT_EQ(raw, (std::vector<QString>{"fast", "balanced", "best"}));
    EXPECT_EQ(modelChoiceFromRawValue(QStringLiteral("Balanced")), std::nullopt);
    EXPECT_EQ(modelChoiceFromRawValue(QString()), std::nullopt);
    EXPECT_EQ(speechModel(ModelChoice::fast), QStringLiteral("base.en"));
    EXPECT_EQ(speechModel(ModelChoice::balanced), QStringLiteral("small.en"));
    EXPECT_EQ(speechModel(ModelChoice::best), QStringLiteral("large-v3-v20240930_turbo_632MB"));
}

// Known keys of a PC keyboard under the usual evdev keymap (xmodmap -pk on any Xorg server).
TEST(KeyTable, MapsKnownKeysBothWays) {
    struct Case {
        uint16_t keyCode;
        int evdev;
        unsigned x11;
    };
    const std::vector<Case> cases{
        {61, 100, 108},   // Right Option: right Alt
        {59, 29, 37},     // left Control
        {55, 125, 133},   // left Command: left Super
        {0, 30, 38},      // A
        {12, 16, 24},     // Q
        {9, 47, 55},      // V
        {49, 57, 65},     // Space
        {51, 14, 22},     // Delete: Backspace
        {114, 110, 118},  // Help: Insert
        {100, 66, 74},    // F8
        {105, 183, 191},  // F13
        {53, 1, 9},       // Escape
        {57, 58, 66},     // Caps Lock
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keyCode);
        EXPECT_EQ(keys::evdevCode(c.keyCode), c.evdev);
        EXPECT_EQ(keys::keyCodeForEvdev(c.evdev), c.keyCode);
        EXPECT_EQ(keys::x11KeyCode(c.keyCode), c.x11);
        EXPECT_EQ(keys::keyCodeForX11(c.x11), c.keyCode);
    }
}

TEST(KeyTable, EveryNamedKeyIsOnePhysicalKey) {
    std::set<uint16_t> named;
    for (const auto& [code, name] : Hotkey::modifierNames()) {
        named.insert(code);
    }
    for (const auto& [code, name] : Hotkey::specialNames()) {
        named.insert(code);
    }
    std::map<int, uint16_t> byEvdev;
    for (uint16_t code = 0; code < 128; ++code) {
        auto evdev = keys::evdevCode(code);
        if (!evdev) {
            EXPECT_FALSE(named.contains(code)) << "named key " << code << " has no evdev code";
            continue;
        }
        EXPECT_TRUE(byEvdev.emplace(*evdev, code).second)
            << "keys " << byEvdev[*evdev] << " and " << code << " share evdev " << *evdev;
        EXPECT_EQ(keys::keyCodeForEvdev(*evdev), code);
    }
    // fn / Globe exists for the input layer but lies beyond X11's keycodes.
    EXPECT_EQ(keys::evdevCode(63), 464);
    EXPECT_EQ(keys::x11KeyCode(63), std::nullopt);
    EXPECT_EQ(keys::keyCodeForX11(7), std::nullopt);
    EXPECT_EQ(keys::keyCodeForX11(256), std::nullopt);
    EXPECT_EQ(keys::evdevCode(500), std::nullopt);
}

}  // namespace
}  // namespace quillora
