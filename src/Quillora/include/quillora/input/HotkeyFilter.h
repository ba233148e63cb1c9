#pragma once

// The decisions of the hold-to-talk key monitor, free of any window system: fed one key event at
// a time, it says whether the event passes on to the applications or is swallowed and which
// report (press, release, interrupt, a captured key) it makes. The X11 monitor feeds it from its
// own thread; nothing here is thread-safe.
//
// Invariants: `isDown()` is true from a reported press until the matching release or interrupt;
// while capturing the dictation key is not watched; a remembered key-up is swallowed once.

#include <cstdint>
#include <optional>

#include <QString>

#include "quillora/settings/Hotkey.h"

namespace quillora {

enum class KeyEventType { keyDown, keyUp, flagsChanged };

struct KeyEvent {
    KeyEventType type = KeyEventType::keyDown;
    // A value outside 0...65535 is a key that has no code in the key tables: it never matches
    // the dictation key and cannot be captured, but still interrupts a hold.
    int keyCode = 0;
    // Modifier flag bits (Hotkey::modifierMasks) down after this event.
    uint64_t flags = 0;
    // What the key types without modifiers; only read when a key is captured.
    QString characters;
};

struct FilterOutcome {
    enum class Action { none, press, release, interrupt, capture };

    bool pass = true;  // false: the event is swallowed
    Action action = Action::none;
    // With Action::capture: the new key, or nothing when Escape cancelled the capture.
    std::optional<Hotkey> captured;

    friend bool operator==(const FilterOutcome&, const FilterOutcome&) = default;
};

class HotkeyFilter {
public:
    const Hotkey& hotkey() const { return hotkey_; }
    bool isDown() const { return isDown_; }
    bool isCapturing() const { return capturing_; }
    std::optional<uint16_t> swallowKeyUp() const { return swallowKeyUp_; }

    // Each returns true when it ended a hold: the caller reports an interrupt.
    [[nodiscard]] bool setHotkey(const Hotkey& hotkey);
    [[nodiscard]] bool startCapture();
    // Leaves capture mode without reporting a key.
    void cancelCapture() { capturing_ = false; }

    FilterOutcome handle(const KeyEvent& event);

private:
    [[nodiscard]] bool endHold();
    FilterOutcome handleCapture(const KeyEvent& event, bool fits);

    Hotkey hotkey_ = Hotkey::defaultKey();
    bool isDown_ = false;
    bool capturing_ = false;
    std::optional<uint16_t> swallowKeyUp_;
};

}  // namespace quillora
