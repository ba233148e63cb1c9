#include "quillora/text/Permissions.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

#include <cstdlib>
#include <string_view>

#include "XDisplay.h"
#include "quillora/text/MicrophoneAvailable.h"

namespace quillora {

namespace {

bool waylandSession() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return type && std::string_view(type) == "wayland";
}

}  // namespace

bool Permissions::hasAccessibility() {
    if (waylandSession()) {
        return false;
    }
    const detail::XDisplay display = detail::openDisplay();
    return detail::inputExtensionsUsable(display.get());
}

bool Permissions::hasMicrophone() {
    return microphoneAvailable();
}

QString Permissions::helpText(Pane pane) {
    switch (pane) {
        case Pane::microphone:
            return QStringLiteral(
                "Quillora records from your sound server's default input (PulseAudio or "
                "PipeWire), but no microphone was found. Connect one, then check in your "
                "desktop's sound settings (or in pavucontrol) that it is listed as an input "
                "device and not muted.");
        case Pane::accessibility:
            return QStringLiteral(
                "Quillora watches the dictation key and pastes text with the X11 extensions "
                "XInput2 and XTest. Your session does not offer them: on Wayland no program may "
                "read keys pressed in other applications or type into them. Log in to an X11 "
                "(\"Xorg\") session to use Quillora.");
    }
    return {};
}

void Permissions::openPrivacyPane(Pane pane, QWidget* parent) {
    static QPointer<QMessageBox> boxes[2];
    QPointer<QMessageBox>& box = boxes[pane == Pane::microphone ? 0 : 1];
    if (!box) {
        // Owned by its parent, else by itself: it goes when closed, or when the program ends.
        box = new QMessageBox(QMessageBox::Information, QStringLiteral("Quillora"), helpText(pane),
                              QMessageBox::Ok, parent);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setModal(false);
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, box, &QObject::deleteLater);
    }
    box->show();
    box->raise();
    box->activateWindow();
}

}  // namespace quillora
