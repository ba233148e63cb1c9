#include "ui/RecordingOverlay.h"

#include <QCursor>
#include <QEasingCurve>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTimer>
#include <QVariantAnimation>
#include <QWidget>

#include <algorithm>

namespace quillora {

// The window: it paints what the overlay holds.
class OverlayPanel : public QWidget {
public:
    explicit OverlayPanel(const RecordingOverlay& overlay)
        : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                               Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput |
                               Qt::X11BypassWindowManagerHint),
          overlay_(overlay) {
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_TranslucentBackground);
        setFocusPolicy(Qt::NoFocus);
        setWindowTitle(QStringLiteral("Quillora Recording"));
        setFixedSize(RecordingOverlay::size);

        levelAnimation_.setDuration(80);
        levelAnimation_.setEasingCurve(QEasingCurve::OutQuad);
        QObject::connect(&levelAnimation_, &QVariantAnimation::valueChanged, this,
                         [this](const QVariant& value) {
                             shownLevel_ = value.toFloat();
                             update();
                         });
        spinner_.setInterval(80);
        QObject::connect(&spinner_, &QTimer::timeout, this, [this] {
            spinnerAngle_ = (spinnerAngle_ + 30) % 360;
            update();
        });
    }

    // The overlay's state changed: draw it again.
    void refresh(bool resetLevel) {
        levelAnimation_.stop();
        if (resetLevel) {
            shownLevel_ = overlay_.level();
        } else if (overlay_.level() != shownLevel_) {
            levelAnimation_.setStartValue(shownLevel_);
            levelAnimation_.setEndValue(overlay_.level());
            levelAnimation_.start();
        }
        if (overlay_.mode() == OverlayMode::working && isVisible()) {
            spinner_.start();
        } else {
            spinner_.stop();
        }
        update();
    }

protected:
    void hideEvent(QHideEvent*) override { spinner_.stop(); }

    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(rect(), Qt::transparent);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        const QRectF frame = QRectF(rect());
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0, 0, 0, static_cast<int>(0.82 * 255)));
        painter.drawRoundedRect(frame, frame.height() / 2, frame.height() / 2);

        QFont font = painter.font();
        font.setPixelSize(13);
        font.setWeight(QFont::Medium);
        painter.setFont(font);
        const double middle = frame.height() / 2;
        double x = 16;
        if (overlay_.mode() == OverlayMode::listening) {
            painter.setBrush(QColor(255, 59, 48));
            painter.drawEllipse(QRectF(x, middle - 4, 8, 8));
            x += 8 + 10;
            painter.setBrush(Qt::white);
            const auto heights = RecordingOverlay::barHeights(shownLevel_);
            for (double height : heights) {
                painter.drawRoundedRect(QRectF(x, middle - height / 2, 4, height), 2, 2);
                x += 4 + 3;
            }
            x += 10 - 3;
            drawLabel(painter, x, QStringLiteral("Listening"));
        } else {
            QPen pen(Qt::white, 2);
            pen.setCapStyle(Qt::RoundCap);
            painter.setPen(pen);
            painter.setBrush(Qt::NoBrush);
            painter.drawArc(QRectF(x + 1, middle - 7, 14, 14), -spinnerAngle_ * 16, 270 * 16);
            painter.setPen(Qt::NoPen);
            x += 16 + 10;
            drawLabel(painter, x, QStringLiteral("Transcribing"));
        }
    }

private:
    void drawLabel(QPainter& painter, double x, const QString& text) {
        painter.setPen(Qt::white);
        painter.drawText(QRectF(x, 0, width() - x - 16, height()), Qt::AlignVCenter | Qt::AlignLeft,
                         text);
        painter.setPen(Qt::NoPen);
    }

    const RecordingOverlay& overlay_;
    float shownLevel_ = 0;
    QVariantAnimation levelAnimation_;
    QTimer spinner_;
    int spinnerAngle_ = 0;
};

RecordingOverlay::RecordingOverlay() = default;
RecordingOverlay::~RecordingOverlay() = default;

QWidget* RecordingOverlay::panel() const {
    return panel_.get();
}

std::array<double, 5> RecordingOverlay::barHeights(float level) {
    std::array<double, 5> heights{};
    const double loudness = std::min(static_cast<double>(level) * 14.0, 1.0);
    for (std::size_t i = 0; i < weights.size(); ++i) {
        heights[i] = weights[i] * 20.0 * std::max(loudness, 0.0) + 5.0;
    }
    return heights;
}

QPoint RecordingOverlay::placement(const QRect& availableGeometry) {
    const int x = availableGeometry.x() + availableGeometry.width() / 2 - size.width() / 2;
    const int y = availableGeometry.y() + availableGeometry.height() - 36 - size.height();
    return {x, y};
}

void RecordingOverlay::show(OverlayMode mode) {
    mode_ = mode;
    if (mode == OverlayMode::listening) {
        level_ = 0;
    }
    if (!panel_) {
        panel_ = std::make_unique<OverlayPanel>(*this);
    }
    position();
    panel_->show();
    panel_->raise();
    panel_->refresh(mode == OverlayMode::listening);
}

void RecordingOverlay::hide() {
    if (panel_) {
        panel_->hide();
    }
}

void RecordingOverlay::setLevel(float level) {
    level_ = level;
    if (panel_ && panel_->isVisible()) {
        panel_->refresh(false);
    }
}

void RecordingOverlay::position() {
    const QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    if (!screen) {
        return;
    }
    panel_->move(placement(screen->availableGeometry()));
}

}  // namespace quillora
