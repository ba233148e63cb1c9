#pragma once

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QWindow>

#include <chrono>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QMimeData;
struct _XDisplay;

namespace quillora {

// Types text into the focused window of another application the way a user would paste it: the
// text goes on the X clipboard, Control+V is sent through XTest, and shortly afterwards the
// clipboard gets back what it held before, in every format it offered.
//
// Our text is marked so that clipboard managers do not keep it ("org.nspasteboard.TransientType"
// and "x-kde-passwordManagerHint" = "secret"). The user's clipboard is never lost to it: a second
// paste before the restore keeps the first snapshot, and the restore only happens while the
// clipboard still holds our text, so a copy made in between stays.
//
// Main thread only (it uses QClipboard). Taking the snapshot asks the clipboard's owner for each
// format, which Qt waits for with a time-out.
class TextInserter : public QObject, private QAbstractNativeEventFilter {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds defaultRestoreDelay{600};
    static constexpr const char* transientType = "org.nspasteboard.TransientType";
    static constexpr const char* passwordManagerHintType = "x-kde-passwordManagerHint";

    explicit TextInserter(std::chrono::milliseconds restoreDelay = defaultRestoreDelay,
                          QObject* parent = nullptr);
    // Puts the clipboard back at once when a restore is pending.
    ~TextInserter() override;

    // Returns at once; the paste follows within a turn or two of the event loop. Never fails:
    // without an X server the text simply stays on the clipboard until the restore.
    void insert(const QString& text);

    // From insert() until the clipboard has been put back (or left to a newer copy).
    bool restorePending() const { return !pending_.isNull() || snapshot_.has_value(); }

private:
    using Snapshot = std::vector<std::pair<QString, QByteArray>>;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;
    static Snapshot takeSnapshot();
    bool clipboardIsOurs() const;
    void paste();
    void restore();

    std::chrono::milliseconds restoreDelay_;
    QTimer restoreTimer_;
    QTimer pasteFallback_;
    QString pending_;                   // text waiting for the paste; null when none
    std::optional<Snapshot> snapshot_;  // present while a restore is pending
    const QMimeData* ours_ = nullptr;   // compared, never dereferenced
    unsigned long ourOwnerWindow_ = 0;
    std::shared_ptr<_XDisplay> display_;  // for XTest and the owner check; empty without X
    QWindow clockWindow_;                 // never shown: Qt learns the server's time through it
    unsigned long clockAtom_ = 0;
};

}  // namespace quillora
