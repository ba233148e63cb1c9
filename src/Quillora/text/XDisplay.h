#pragma once

// The few X11 calls of the text services, kept apart from Qt (Xlib's macros clash with Qt's
// names). Private to the application.

#include <memory>

struct _XDisplay;

namespace quillora::detail {

struct XDisplayDeleter {
    void operator()(_XDisplay* display) const noexcept;
};
// A connection of our own to the X server of DISPLAY; empty when there is none.
using XDisplay = std::unique_ptr<_XDisplay, XDisplayDeleter>;
XDisplay openDisplay();

// Presses and releases Control+V through XTest: the focused window takes it as typed. False
// when it could not be sent (no XTest, or no key for V in the keyboard map).
bool sendControlV(_XDisplay* display);

// The atom of the name, made when missing.
unsigned long internAtom(_XDisplay* display, const char* name);

// Appends nothing to a property of the window: its owner gets a PropertyNotify event that
// carries the server's current time.
void touchProperty(_XDisplay* display, unsigned long window, unsigned long atom);

// The window that owns the CLIPBOARD selection now (0: nobody).
unsigned long clipboardOwner(_XDisplay* display);

// Whether the server lets us read every key event (XInput2 2.0 or later) and post synthetic
// ones (XTest).
bool inputExtensionsUsable(_XDisplay* display);

}  // namespace quillora::detail
