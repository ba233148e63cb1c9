#include "quillora/input/X11HotkeyMonitor.h"

#include <QMetaObject>

#include <utility>

#include "input/X11KeyWatcher.h"

namespace quillora {

X11HotkeyMonitor::X11HotkeyMonitor() : context_(std::make_unique<QObject>()) {}

X11HotkeyMonitor::~X11HotkeyMonitor() {
    stop();
}

bool X11HotkeyMonitor::start() {
    stop();
    QObject* context = context_.get();
    auto sink = [this, context](const detail::WatcherReport& report) {
        // `context` lives exactly as long as this monitor, so a report queued to it never
        // reaches a monitor that is gone.
        QMetaObject::invokeMethod(
            context, [this, report] { deliver(report); }, Qt::QueuedConnection);
    };
    watcher_ = detail::X11KeyWatcher::open(filter_, std::move(sink), captureGeneration_, problem_);
    return watcher_ != nullptr;
}

void X11HotkeyMonitor::stop() {
    watcher_.reset();
}

void X11HotkeyMonitor::setHotkey(const Hotkey& hotkey) {
    hotkey_ = hotkey;
    if (watcher_) {
        watcher_->setHotkey(hotkey);
    } else if (filter_.setHotkey(hotkey) && onInterrupt) {
        onInterrupt();
    }
}

void X11HotkeyMonitor::startCapture(CaptureHandler handler) {
    captureHandler_ = std::move(handler);
    ++captureGeneration_;
    if (watcher_) {
        watcher_->startCapture(captureGeneration_);
    } else if (filter_.startCapture() && onInterrupt) {
        onInterrupt();
    }
}

void X11HotkeyMonitor::cancelCapture() {
    captureHandler_ = nullptr;
    if (watcher_) {
        watcher_->cancelCapture();
    } else {
        filter_.cancelCapture();
    }
}

void X11HotkeyMonitor::deliver(const detail::WatcherReport& report) {
    // Copies: a callback may replace itself or stop the monitor.
    Callback callback;
    switch (report.action) {
        case FilterOutcome::Action::press:
            callback = onPress;
            break;
        case FilterOutcome::Action::release:
            callback = onRelease;
            break;
        case FilterOutcome::Action::interrupt:
            callback = onInterrupt;
            break;
        case FilterOutcome::Action::capture:
            // A key captured after the user cancelled, or for an earlier capture, is nobody's.
            if (report.captureGeneration == captureGeneration_ && captureHandler_) {
                std::exchange(captureHandler_, nullptr)(report.captured);
            }
            return;
        case FilterOutcome::Action::none:
            return;
    }
    if (callback) {
        callback();
    }
}

}  // namespace quillora
