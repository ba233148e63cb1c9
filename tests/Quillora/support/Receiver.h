#pragma once

// A small window in front that takes the keyboard focus, to observe what reaches the focused
// application: pasted text and keys that got through. No window manager runs under Xvfb, so it
// sets the X input focus itself.

#include <QPlainTextEdit>
#include <QString>
#include <QWidget>

#include <chrono>

namespace quillora::testing {

class Receiver : public QWidget {
    Q_OBJECT
public:
    explicit Receiver(const QString& title = QStringLiteral("Receiver"));

    QString text() const;
    int keyPresses() const { return keyPresses_; }
    // Raises the window and gives it the X input focus; true once it has it.
    bool takeFocus(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Runs the event loop until the text field holds `expected` (or contains it), or the deadline.
    bool waitForText(const QString& expected,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
    unsigned long windowId() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPlainTextEdit* edit_;
    int keyPresses_ = 0;
};

// Runs the Qt event loop briefly: the `between` step of waitFor in Qt tests.
void processEvents();

}  // namespace quillora::testing
