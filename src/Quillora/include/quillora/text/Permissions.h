#pragma once

#include <QString>

class QWidget;

namespace quillora {

// What the application needs from the desktop before it can dictate, and where the user gets it.
// On X11 nothing has to be granted: "accessibility" is whether global key events can be read
// and synthetic keys posted, "microphone" whether there is a source to record from.
class Permissions {
public:
    enum class Pane { microphone, accessibility };

    // An X11 session whose server offers XInput2 and XTest. A Wayland session lets no program
    // read global keys or type into other applications, even through XWayland.
    static bool hasAccessibility();
    // A sound source that is not the monitor of an output exists.
    static bool hasMicrophone();

    // How to get what the pane is about on this desktop.
    static QString helpText(Pane pane);
    // There is no settings pane to open on Linux desktops: shows the help text in a message
    // window over `parent` (one per pane, raised again when asked twice).
    static void openPrivacyPane(Pane pane, QWidget* parent = nullptr);
};

}  // namespace quillora
