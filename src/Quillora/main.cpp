// The `quillora` program: hold the dictation key, speak, let go, and the words are typed into the
// application in front. It lives in the system tray; one runs per user.

#include <QApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QMessageBox>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "DictationController.h"
#include "quillora/input/X11HotkeyMonitor.h"
#include "quillora/settings/AppSettings.h"
#include "quillora/ui/SettingsWindow.h"
#include "ui/TrayMenu.h"

namespace {

using namespace quillora;

const QString kWaylandMessage = QStringLiteral(
    "Quillora does not support Wayland sessions yet: Wayland lets no program watch a key "
    "pressed in another application or type into one. Log in to an X11 (\"Xorg\") session to "
    "dictate with Quillora.");

bool waylandSession() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    if (type && std::string_view(type) == "wayland") {
        return true;
    }
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* display = std::getenv("DISPLAY");
    return wayland && *wayland && !(display && *display);
}

// The per-user folder for the lock and the socket: XDG_RUNTIME_DIR, else a private temporary one.
QString runtimeFolder() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) {
        folder = QDir::tempPath();
    }
    return folder;
}

// Asks the running instance to show its settings window; true when one answered.
bool wakeRunningInstance(const QString& socketPath) {
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(1000)) {
        return false;
    }
    socket.write("settings\n");
    socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillora"));
    QApplication::setQuitOnLastWindowClosed(false);

    if (waylandSession()) {
        std::fprintf(stderr, "%s\n", qPrintable(kWaylandMessage));
        QMessageBox::warning(nullptr, QStringLiteral("Quillora"), kWaylandMessage);
        return 1;
    }

    const QString folder = runtimeFolder();
    const QString socketPath = folder + QStringLiteral("/quillora.socket");
    QLockFile lock(folder + QStringLiteral("/quillora.lock"));
    lock.setStaleLockTime(0);  // a lock whose process is gone is stale, however young
    if (!lock.tryLock(0)) {
        if (!wakeRunningInstance(socketPath)) {
            std::fprintf(stderr, "Quillora is already running.\n");
        }
        return 0;
    }
    QLocalServer::removeServer(socketPath);
    QLocalServer server;
    server.setSocketOptions(QLocalServer::UserAccessOption);
    server.listen(socketPath);

    AppSettings settings;
    X11HotkeyMonitor hotkeys;
    DictationController controller(settings, hotkeys, makeDesktopServices());
    controller.setSettingsWindowFactory([&] {
        auto* window = new SettingsWindow(settings, hotkeys);
        const auto tell = [window, &controller] {
            window->setStatusText(controller.statusText());
            window->setAccessibilityGranted(controller.hasAccessibility());
            window->setMicrophoneGranted(controller.hasMicrophone());
        };
        QObject::connect(&controller, &DictationController::changed, window, tell);
        tell();
        return window;
    });
    TrayMenu tray(controller);

    // Another start of the program brings up this one's settings window.
    QObject::connect(&server, &QLocalServer::newConnection, &controller, [&] {
        while (QLocalSocket* socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            controller.showSettings();
        }
    });

    const bool hasTray = QSystemTrayIcon::isSystemTrayAvailable();
    if (hasTray) {
        tray.showIcon();
    }
    QTimer::singleShot(0, &controller, [&] {
        controller.start();
        if (!hasTray) {
            std::fprintf(stderr,
                         "Quillora: this desktop has no system tray. Dictation works all the "
                         "same; start quillora again to bring back the settings window.\n");
            controller.showSettings();
        }
    });
    return QApplication::exec();
}
