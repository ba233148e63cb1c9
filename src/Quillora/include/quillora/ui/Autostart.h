#pragma once

// Opening Quillora at login, the freedesktop way: an autostart entry "quillora.desktop" in the
// user's autostart folder ($XDG_CONFIG_HOME/autostart, by default ~/.config/autostart), which
// every XDG-compliant desktop session starts at login.

#include <QString>

#include <stdexcept>
#include <string>

namespace quillora {

class Autostart {
public:
    // The entry could not be written or removed, or the program's path cannot be put in one.
    class Error : public std::runtime_error {
    public:
        explicit Error(const std::string& message) : std::runtime_error(message) {}
    };

    static QString entryPath();
    // Whether the session will start the program: the entry exists and is not switched off
    // (Hidden=true, or X-GNOME-Autostart-enabled=false as the desktop's own startup settings
    // write).
    static bool isEnabled();
    // Writes the entry (starting `program`) or removes it; does nothing when the entry already
    // says so. Throws Error.
    static void setEnabled(bool enabled, const QString& program);
    // The program this process runs.
    static QString currentProgram();

    // The entry's text for `program`. Throws Error for a path no Exec line can carry (control
    // characters).
    static QString desktopEntry(const QString& program);
};

}  // namespace quillora
