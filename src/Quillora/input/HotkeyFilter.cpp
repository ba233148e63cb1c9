#include "quillora/input/HotkeyFilter.h"

#include <limits>

namespace quillora {

namespace {

constexpr uint16_t kEscape = 53;

FilterOutcome passed(FilterOutcome::Action action = FilterOutcome::Action::none) {
    return {true, action, std::nullopt};
}

FilterOutcome swallowed(FilterOutcome::Action action = FilterOutcome::Action::none) {
    return {false, action, std::nullopt};
}

}  // namespace

bool HotkeyFilter::endHold() {
    const bool wasDown = isDown_;
    isDown_ = false;
    return wasDown;
}

bool HotkeyFilter::setHotkey(const Hotkey& hotkey) {
    hotkey_ = hotkey;
    return endHold();
}

bool HotkeyFilter::startCapture() {
    const bool interrupted = endHold();
    capturing_ = true;
    return interrupted;
}

FilterOutcome HotkeyFilter::handle(const KeyEvent& event) {
    using Action = FilterOutcome::Action;
    const bool fits = event.keyCode >= 0 && event.keyCode <= std::numeric_limits<uint16_t>::max();
    const auto code = static_cast<uint16_t>(event.keyCode);

    if (event.type == KeyEventType::keyUp && fits && swallowKeyUp_ == code) {
        swallowKeyUp_.reset();
        return swallowed();
    }
    if (capturing_) {
        return handleCapture(event, fits);
    }

    const bool isHotkey = fits && code == hotkey_.keyCode;
    const auto& masks = Hotkey::modifierMasks();
    if (auto mask = masks.find(hotkey_.keyCode); mask != masks.end()) {
        // A modifier dictation key keeps its effect on the applications: nothing is swallowed.
        if (event.type == KeyEventType::keyDown) {
            return passed(endHold() ? Action::interrupt : Action::none);
        }
        if (event.type == KeyEventType::flagsChanged && isHotkey) {
            if (event.flags & mask->second) {
                if (isDown_) {
                    return passed();
                }
                isDown_ = true;
                return passed(Action::press);
            }
            return passed(endHold() ? Action::release : Action::none);
        }
        return passed();
    }

    if (isHotkey && event.type == KeyEventType::keyDown) {
        // Auto-repeat repeats the key-down: one press per hold.
        if (isDown_) {
            return swallowed();
        }
        isDown_ = true;
        return swallowed(Action::press);
    }
    if (isHotkey && event.type == KeyEventType::keyUp) {
        return swallowed(endHold() ? Action::release : Action::none);
    }
    if (event.type == KeyEventType::keyDown && isDown_) {
        isDown_ = false;
        return passed(Action::interrupt);
    }
    return passed();
}

FilterOutcome HotkeyFilter::handleCapture(const KeyEvent& event, bool fits) {
    using Action = FilterOutcome::Action;
    const auto code = static_cast<uint16_t>(event.keyCode);
    switch (event.type) {
        case KeyEventType::flagsChanged: {
            // Modifier changes always pass; the first modifier to go down is the new key.
            const auto& masks = Hotkey::modifierMasks();
            auto mask = fits ? masks.find(code) : masks.end();
            if (mask != masks.end() && (event.flags & mask->second)) {
                capturing_ = false;
                return {true, Action::capture, Hotkey::make(code, event.characters)};
            }
            return passed();
        }
        case KeyEventType::keyDown:
            if (fits && code == kEscape) {
                capturing_ = false;
                swallowKeyUp_ = kEscape;
                return {false, Action::capture, std::nullopt};
            }
            if (!fits || Hotkey::disallowed().contains(code)) {
                return swallowed();
            }
            capturing_ = false;
            // The front application saw no key-down, so it must not see the key-up either.
            swallowKeyUp_ = code;
            return {false, Action::capture, Hotkey::make(code, event.characters)};
        case KeyEventType::keyUp:
            return passed();
    }
    return passed();
}

}  // namespace quillora
