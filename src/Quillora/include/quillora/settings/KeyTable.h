#pragma once

// The settings' key codes (Apple virtual key codes) against the codes this machine reports: the
// Linux input layer's evdev codes and, under X11, keycodes (evdev + 8, the servers' evdev keymap).
// One physical key per entry, in both directions, so a key captured from X is grabbed again by the
// same X keycode after a restart.

#include <cstdint>
#include <optional>

namespace quillora::keys {

std::optional<int> evdevCode(uint16_t keyCode);
std::optional<uint16_t> keyCodeForEvdev(int evdevCode);

// X11 keycodes run from 8 to 255: a key whose evdev code lies above 247 (fn / Globe among them)
// never reaches an X client.
std::optional<unsigned> x11KeyCode(uint16_t keyCode);
std::optional<uint16_t> keyCodeForX11(unsigned x11KeyCode);

}  // namespace quillora::keys
