#pragma once

// The application's place on the desktop: a tray icon whose symbol shows the dictation phase at a
// glance, and its menu with the status line and the few commands of the program. Both follow
// the controller: they are built again on each of its changes. Main thread only.

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QString>

#include <memory>

class QSystemTrayIcon;

namespace quillora {

class DictationController;

class TrayMenu : public QObject {
    Q_OBJECT
public:
    // `controller` must outlive the menu. The tray icon is made only by showIcon().
    explicit TrayMenu(DictationController& controller, QObject* parent = nullptr);
    ~TrayMenu() override;

    // Puts the icon into the system tray.
    void showIcon();

    QMenu& menu() { return menu_; }
    QSystemTrayIcon* trayIcon() const { return tray_.get(); }

    // The symbol of the controller's phase: "arrow.down.circle" (loading),
    // "exclamationmark.triangle" (error, or ready without a permission), "waveform" (ready),
    // "mic.fill" (recording), "ellipsis.circle" (transcribing).
    static QString iconName(const DictationController& controller);
    // The picture for a symbol name, drawn here so that it does not depend on an icon theme.
    static QIcon icon(const QString& name);

private:
    void rebuild();

    DictationController& controller_;
    QMenu menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
};

}  // namespace quillora
