#include "Receiver.h"

#include <QApplication>
#include <QEvent>
#include <QVBoxLayout>
#include <QWindow>

#include "WaitFor.h"

namespace quillora::testing {

namespace {
void setInputFocus(unsigned long window);
}

void processEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

Receiver::Receiver(const QString& title) : edit_(new QPlainTextEdit(this)) {
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(edit_);
    edit_->installEventFilter(this);
    resize(400, 200);
    move(100, 100);
}

QString Receiver::text() const {
    return edit_->toPlainText();
}

unsigned long Receiver::windowId() const {
    return static_cast<unsigned long>(winId());
}

bool Receiver::eventFilter(QObject* watched, QEvent* event) {
    if (watched == edit_ && event->type() == QEvent::KeyPress) {
        ++keyPresses_;
    }
    return QWidget::eventFilter(watched, event);
}

bool Receiver::takeFocus(std::chrono::milliseconds timeout) {
    show();
    raise();
    bool exposed = waitFor([&] { return windowHandle() && windowHandle()->isExposed(); }, timeout,
                           processEvents);
    if (!exposed) {
        return false;
    }
    // Without a window manager nobody hands out focus: set it on the X server directly.
    setInputFocus(windowId());
    activateWindow();
    edit_->setFocus();
    return waitFor([&] { return isActiveWindow() && edit_->hasFocus(); }, timeout, processEvents);
}

bool Receiver::waitForText(const QString& expected, std::chrono::milliseconds timeout) {
    return waitFor([&] { return text().contains(expected); }, timeout, processEvents);
}

}  // namespace quillora::testing

// Xlib's macros (KeyPress, None, ...) clash with Qt's names: it comes last.
#include <X11/Xlib.h>

namespace quillora::testing {
namespace {
void setInputFocus(unsigned long window) {
    if (Display* display = XOpenDisplay(nullptr)) {
        XSetInputFocus(display, static_cast<Window>(window), RevertToParent, CurrentTime);
        XSync(display, False);
        XCloseDisplay(display);
    }
}
}  // namespace
}  // namespace quillora::testing
