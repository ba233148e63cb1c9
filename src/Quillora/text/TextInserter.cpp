#include "quillora/text/TextInserter.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMimeData>

#include <xcb/xproto.h>

#include "XDisplay.h"

namespace quillora {

namespace {

// Without an answer from the X server (which does not happen on a live connection) the paste
// goes ahead after this long anyway.
constexpr std::chrono::milliseconds kClockWait{1000};

QClipboard* clipboard() {
    return QGuiApplication::clipboard();
}

// Qt offers an image a second time under its own type, as an object rather than bytes; the
// image/... formats beside it carry the same picture.
bool isQtOnlyType(const QString& type) {
    return type == QLatin1String("application/x-qt-image");
}

}  // namespace

TextInserter::TextInserter(std::chrono::milliseconds restoreDelay, QObject* parent)
    : QObject(parent), restoreDelay_(restoreDelay) {
    restoreTimer_.setSingleShot(true);
    connect(&restoreTimer_, &QTimer::timeout, this, &TextInserter::restore);
    pasteFallback_.setSingleShot(true);
    connect(&pasteFallback_, &QTimer::timeout, this, &TextInserter::paste);
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        display_ = detail::openDisplay();
    }
    if (display_) {
        clockWindow_.create();
        clockAtom_ = detail::internAtom(display_.get(), "_QUILLORA_CLOCK");
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
}

TextInserter::~TextInserter() {
    if (display_) {
        QCoreApplication::instance()->removeNativeEventFilter(this);
    }
    if (snapshot_) {
        restore();
    }
}

void TextInserter::insert(const QString& text) {
    const bool waiting = !pending_.isNull();
    pending_ = pending_.isNull() ? text : pending_ + text;
    if (waiting) {
        return;
    }
    if (!display_) {
        QMetaObject::invokeMethod(this, &TextInserter::paste, Qt::QueuedConnection);
        return;
    }
    // Qt stamps its clipboard requests with the time of the last X event it saw, which may be
    // older than the user's latest copy in another application: the server would then ignore
    // our claim on the clipboard (and a strict owner our requests for its data), and the user's
    // text would be pasted instead of ours. A property change on a window of Qt's brings it the
    // server's current time; the paste waits until Qt has seen it.
    detail::touchProperty(display_.get(), clockWindow_.winId(), clockAtom_);
    pasteFallback_.start(kClockWait);
}

bool TextInserter::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (pending_.isNull() || eventType != "xcb_generic_event_t") {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7F) != XCB_PROPERTY_NOTIFY) {
        return false;
    }
    const auto* change = static_cast<const xcb_property_notify_event_t*>(message);
    if (change->window == clockWindow_.winId() && change->atom == clockAtom_) {
        // Qt takes the time from this event once the filters let it through.
        pasteFallback_.stop();
        QMetaObject::invokeMethod(this, &TextInserter::paste, Qt::QueuedConnection);
    }
    return false;
}

TextInserter::Snapshot TextInserter::takeSnapshot() {
    Snapshot snapshot;
    const QMimeData* current = clipboard()->mimeData(QClipboard::Clipboard);
    if (!current) {
        return snapshot;
    }
    for (const QString& type : current->formats()) {
        if (isQtOnlyType(type)) {
            continue;
        }
        QByteArray data = current->data(type);
        // A format whose data cannot be read is left out, as if it was never offered; an
        // empty marker format still counts.
        if (data.isNull()) {
            continue;
        }
        snapshot.emplace_back(type, std::move(data));
    }
    return snapshot;
}

bool TextInserter::clipboardIsOurs() const {
    if (!ours_ || clipboard()->mimeData(QClipboard::Clipboard) != ours_ ||
        !clipboard()->ownsClipboard()) {
        return false;
    }
    // Qt learns of a new owner only when it reads that event; the server knows already.
    return !display_ || detail::clipboardOwner(display_.get()) == ourOwnerWindow_;
}

void TextInserter::paste() {
    if (pending_.isNull()) {
        return;
    }
    const QString text = std::exchange(pending_, QString());
    // With a restore pending the clipboard holds our previous text: the snapshot to go back to
    // is the one taken before it.
    if (!snapshot_ || !clipboardIsOurs()) {
        snapshot_ = takeSnapshot();
    }
    auto mime = std::make_unique<QMimeData>();
    mime->setText(text);
    mime->setData(QString::fromLatin1(transientType), QByteArray(""));
    mime->setData(QString::fromLatin1(passwordManagerHintType), QByteArray("secret"));
    ours_ = mime.get();
    clipboard()->setMimeData(mime.release(), QClipboard::Clipboard);
    if (display_) {
        ourOwnerWindow_ = detail::clipboardOwner(display_.get());
        detail::sendControlV(display_.get());
    }
    restoreTimer_.start(restoreDelay_);
}

void TextInserter::restore() {
    restoreTimer_.stop();
    std::optional<Snapshot> snapshot = std::exchange(snapshot_, std::nullopt);
    const bool ours = clipboardIsOurs();
    ours_ = nullptr;
    if (!snapshot || !ours) {
        return;
    }
    if (snapshot->empty()) {
        clipboard()->clear(QClipboard::Clipboard);
        return;
    }
    auto mime = std::make_unique<QMimeData>();
    for (auto& [type, data] : *snapshot) {
        mime->setData(type, data);
    }
    clipboard()->setMimeData(mime.release(), QClipboard::Clipboard);
}

}  // namespace quillora
