#pragma once

// The X side of the key monitor: a thread with its own connection to the X server that reads raw
// key events, runs them through the monitor's HotkeyFilter and holds the grabs that make the
// filter's "swallow" true. No Xlib types appear here, so Qt code can include it.

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "quillora/input/HotkeyFilter.h"
#include "quillora/settings/Hotkey.h"

namespace quillora::detail {

struct WatcherReport {
    FilterOutcome::Action action = FilterOutcome::Action::none;
    std::optional<Hotkey> captured;
    uint64_t captureGeneration = 0;
};

class X11KeyWatcher {
public:
    // Called on the watcher's thread.
    using Sink = std::function<void(const WatcherReport&)>;

    // Connects to $DISPLAY and starts the thread. Nothing when this session cannot be watched,
    // with the reason (and what to do about it) in `problem`. The filter is the thread's until
    // the watcher is destroyed; `captureGeneration` tags a capture already in progress.
    static std::unique_ptr<X11KeyWatcher> open(HotkeyFilter& filter, Sink sink,
                                               uint64_t captureGeneration, QString& problem);
    // Releases every grab and joins the thread.
    ~X11KeyWatcher();
    X11KeyWatcher(const X11KeyWatcher&) = delete;
    X11KeyWatcher& operator=(const X11KeyWatcher&) = delete;

    // Handed to the thread; they take effect in the order given.
    void setHotkey(const Hotkey& hotkey);
    void startCapture(uint64_t generation);
    void cancelCapture();

    // Only open() can make a State: its definition is private to the watcher's source.
    struct State;
    explicit X11KeyWatcher(std::unique_ptr<State> state);

private:
    std::unique_ptr<State> state_;
};

}  // namespace quillora::detail
