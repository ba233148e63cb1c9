#pragma once

// Watches the whole session's keyboard for the dictation key and reports press, release and
// interrupt (another key went down during the hold, or the key was replaced while held). In
// capture mode the next key pressed becomes the new dictation key. Every method is called on the
// main thread and every callback runs there; a callback that is not set is skipped.

#include <QString>

#include <functional>
#include <optional>

#include "quillora/settings/Hotkey.h"

namespace quillora {

class HotkeyMonitor {
public:
    using Callback = std::function<void()>;
    // Called once per capture: the key, or nothing when the user pressed Escape.
    using CaptureHandler = std::function<void(std::optional<Hotkey>)>;

    virtual ~HotkeyMonitor() = default;

    Callback onPress;
    Callback onRelease;
    Callback onInterrupt;

    virtual Hotkey hotkey() const = 0;
    // Replacing the key during a hold ends the hold with an interrupt.
    virtual void setHotkey(const Hotkey& hotkey) = 0;

    // (Re)starts watching, stopping first. False when keys cannot be watched in this session;
    // problem() then says why and what the user can do.
    virtual bool start() = 0;
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
    virtual QString problem() const = 0;

    // Ends a hold with an interrupt, then captures the next key (replacing any capture in
    // progress).
    virtual void startCapture(CaptureHandler handler) = 0;
    // Leaves capture mode without reporting a key; the next key is handled as usual.
    virtual void cancelCapture() = 0;
    virtual bool isCapturing() const = 0;
};

}  // namespace quillora
