#include "ui/TrayMenu.h"

#include <QApplication>
#include <QClipboard>
#include <QKeySequence>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QSystemTrayIcon>

#include "DictationController.h"

namespace quillora {

TrayMenu::TrayMenu(DictationController& controller, QObject* parent)
    : QObject(parent), controller_(controller) {
    connect(&controller_, &DictationController::changed, this, &TrayMenu::rebuild);
    rebuild();
}

TrayMenu::~TrayMenu() = default;

void TrayMenu::showIcon() {
    if (!tray_) {
        tray_ = std::make_unique<QSystemTrayIcon>();
        tray_->setContextMenu(&menu_);
        // A plain click opens the menu too: it is the only thing the icon does.
        connect(tray_.get(), &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger) {
                        menu_.popup(tray_->geometry().bottomLeft());
                    }
                });
    }
    rebuild();
    tray_->show();
}

QString TrayMenu::iconName(const DictationController& controller) {
    using Kind = DictationController::Phase::Kind;
    switch (controller.phase().kind) {
        case Kind::loading:
            return QStringLiteral("arrow.down.circle");
        case Kind::error:
            return QStringLiteral("exclamationmark.triangle");
        case Kind::ready:
            return controller.permissionsOK() ? QStringLiteral("waveform")
                                              : QStringLiteral("exclamationmark.triangle");
        case Kind::recording:
            return QStringLiteral("mic.fill");
        case Kind::transcribing:
            return QStringLiteral("ellipsis.circle");
    }
    return {};
}

QIcon TrayMenu::icon(const QString& name) {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor ink(QStringLiteral("#e8e8e8"));
    QPen pen(ink, 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    if (name == QLatin1String("waveform")) {
        const int heights[] = {16, 36, 52, 28, 44, 20};
        for (int i = 0; i < 6; ++i) {
            const int x = 7 + i * 10;
            painter.drawLine(x, 32 - heights[i] / 2, x, 32 + heights[i] / 2);
        }
    } else if (name == QLatin1String("mic.fill")) {
        painter.setBrush(QColor(255, 59, 48));
        painter.setPen(Qt::NoPen);
        painter.drawRoundedRect(QRectF(22, 6, 20, 34), 10, 10);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawArc(QRectF(14, 16, 36, 34), 180 * 16, 180 * 16);
        painter.drawLine(32, 50, 32, 58);
    } else if (name == QLatin1String("ellipsis.circle")) {
        painter.drawEllipse(QRectF(5, 5, 54, 54));
        painter.setBrush(ink);
        painter.setPen(Qt::NoPen);
        for (int x : {19, 32, 45}) {
            painter.drawEllipse(QPointF(x, 32), 4, 4);
        }
    } else if (name == QLatin1String("arrow.down.circle")) {
        painter.drawEllipse(QRectF(5, 5, 54, 54));
        painter.drawLine(32, 17, 32, 45);
        painter.drawLine(21, 34, 32, 45);
        painter.drawLine(43, 34, 32, 45);
    } else {
        QPainterPath triangle;
        triangle.moveTo(32, 6);
        triangle.lineTo(59, 56);
        triangle.lineTo(5, 56);
        triangle.closeSubpath();
        painter.setPen(QPen(QColor(255, 204, 0), 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(triangle);
        painter.drawLine(32, 24, 32, 40);
        painter.drawPoint(32, 48);
    }
    painter.end();
    return QIcon(pixmap);
}

void TrayMenu::rebuild() {
    // An action may be rebuilt away from inside its own triggered signal: it goes later.
    for (QAction* action : menu_.actions()) {
        menu_.removeAction(action);
        if (action->parent() == &menu_) {
            action->deleteLater();
        }
    }
    QAction* status = menu_.addAction(controller_.statusText());
    status->setEnabled(false);
    if (!controller_.permissionsOK()) {
        menu_.addAction(QStringLiteral("Grant Permissions…"), &controller_,
                        &DictationController::requestPermissions);
    }
    menu_.addSeparator();
    if (!controller_.lastTranscript().isEmpty()) {
        // Plain text only, and no transient mark: the user asked for this copy to stay.
        menu_.addAction(QStringLiteral("Copy Last Dictation"), this, [this] {
            QApplication::clipboard()->setText(controller_.lastTranscript());
        });
    }
    menu_.addAction(QStringLiteral("Settings…"), QKeySequence(QStringLiteral("Ctrl+,")),
                    &controller_, &DictationController::showSettings);
    menu_.addSeparator();
    menu_.addAction(QStringLiteral("Quit Quillora"), QKeySequence(QStringLiteral("Ctrl+Q")),
                    qApp, &QApplication::quit);
    if (tray_) {
        tray_->setIcon(icon(iconName(controller_)));
        tray_->setToolTip(QStringLiteral("Quillora — ") + controller_.statusText());
    }
}

}  // namespace quillora
