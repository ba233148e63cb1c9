#include "quillora/ui/Autostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>

namespace quillora {

namespace {

// Far more than any entry a desktop writes; a larger file is not read into memory.
constexpr qint64 kMaxEntryBytes = 64 * 1024;

// One argument of an Exec line: quoted when it holds a character the line gives a meaning to,
// with the characters that stay special inside quotes escaped; then '%' doubled (it starts field
// codes) and every backslash doubled again, because the value is itself an escaped string.
QString execArgument(const QString& argument) {
    for (const QChar c : argument) {
        if (c.category() == QChar::Other_Control) {
            throw Autostart::Error("The program's path \"" + argument.toStdString() +
                                   "\" holds a control character; no autostart entry can start "
                                   "it.");
        }
    }
    static const QString reserved = QStringLiteral(" \t\"'\\><~|&;$*?#()`");
    bool needsQuotes = argument.isEmpty();
    for (const QChar c : argument) {
        needsQuotes = needsQuotes || reserved.contains(c);
    }
    QString quoted;
    if (needsQuotes) {
        quoted += QLatin1Char('"');
        for (const QChar c : argument) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                c == QLatin1Char('\\')) {
                quoted += QLatin1Char('\\');
            }
            quoted += c;
        }
        quoted += QLatin1Char('"');
    } else {
        quoted = argument;
    }
    quoted.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    quoted.replace(QLatin1String("%"), QLatin1String("%%"));
    return quoted;
}

// The value of `key` in the [Desktop Entry] group, or a null text.
QString entryValue(const QStringList& lines, const QString& key) {
    bool inMainGroup = false;
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup || line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals > 0 && line.left(equals).trimmed() == key) {
            return line.mid(equals + 1).trimmed();
        }
    }
    return {};
}

}  // namespace

QString Autostart::entryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/quillora.desktop");
}

QString Autostart::currentProgram() {
    return QCoreApplication::applicationFilePath();
}

bool Autostart::isEnabled() {
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxEntryBytes) {
        return false;
    }
    const QStringList lines = QString::fromUtf8(file.read(kMaxEntryBytes)).split(QLatin1Char('\n'));
    return entryValue(lines, QStringLiteral("Hidden")) != QLatin1String("true") &&
           entryValue(lines, QStringLiteral("X-GNOME-Autostart-enabled")) != QLatin1String("false");
}

QString Autostart::desktopEntry(const QString& program) {
    return QStringLiteral(
               "[Desktop Entry]\n"
               "Type=Application\n"
               "Name=Quillora\n"
               "Comment=Hold a key, speak, and your words appear where you type\n"
               "Exec=%1\n"
               "Terminal=false\n")
        .arg(execArgument(program));
}

void Autostart::setEnabled(bool enabled, const QString& program) {
    if (enabled == isEnabled()) {
        return;
    }
    const QString path = entryPath();
    if (!enabled) {
        if (!QFile::remove(path) && QFileInfo::exists(path)) {
            throw Error("Could not remove " + path.toStdString());
        }
        return;
    }
    const QByteArray text = desktopEntry(program).toUtf8();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        throw Error("Could not create the folder of " + path.toStdString());
    }
    // Written whole or not at all: a half-written entry could start something else at login.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        throw Error("Could not write " + path.toStdString() + ": " +
                    file.errorString().toStdString());
    }
}

}  // namespace quillora
