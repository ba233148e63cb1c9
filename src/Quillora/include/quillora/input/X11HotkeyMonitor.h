#pragma once

// The key monitor of an X11 session. XInput2 raw key events on the root window are read on a
// thread of the monitor's own with its own connection to the server, and reports reach the main
// thread through queued calls. A dictation key that is not a modifier is grabbed so the
// applications never see it; capture mode grabs the whole keyboard. Keys posted through the XTEST
// extension (our own paste among them) are ignored.

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

#include "quillora/input/HotkeyFilter.h"
#include "quillora/input/HotkeyMonitor.h"

namespace quillora {

namespace detail {
class X11KeyWatcher;
struct WatcherReport;
}  // namespace detail

class X11HotkeyMonitor final : public HotkeyMonitor {
public:
    X11HotkeyMonitor();
    ~X11HotkeyMonitor() override;
    X11HotkeyMonitor(const X11HotkeyMonitor&) = delete;
    X11HotkeyMonitor& operator=(const X11HotkeyMonitor&) = delete;

    Hotkey hotkey() const override { return hotkey_; }
    void setHotkey(const Hotkey& hotkey) override;
    bool start() override;
    void stop() override;
    bool isRunning() const override { return watcher_ != nullptr; }
    QString problem() const override { return problem_; }
    void startCapture(CaptureHandler handler) override;
    void cancelCapture() override;
    bool isCapturing() const override { return static_cast<bool>(captureHandler_); }

private:
    void deliver(const detail::WatcherReport& report);

    Hotkey hotkey_ = Hotkey::defaultKey();
    // Belongs to the watcher's thread while one runs; to the main thread otherwise.
    HotkeyFilter filter_;
    CaptureHandler captureHandler_;
    // Tells a report of an earlier capture from one of the capture in progress.
    uint64_t captureGeneration_ = 0;
    QString problem_;
    // Receives the watcher's queued reports; deleting it drops those not yet delivered.
    std::unique_ptr<QObject> context_;
    std::unique_ptr<detail::X11KeyWatcher> watcher_;
};

}  // namespace quillora
