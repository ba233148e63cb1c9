#include "XDisplay.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace quillora::detail {

void XDisplayDeleter::operator()(_XDisplay* display) const noexcept {
    XCloseDisplay(display);
}

XDisplay openDisplay() {
    return XDisplay(XOpenDisplay(nullptr));
}

bool sendControlV(Display* display) {
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    if (!display || !XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor)) {
        return false;
    }
    const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
    const KeyCode v = XKeysymToKeycode(display, XK_v);
    if (control == 0 || v == 0) {
        return false;
    }
    XTestFakeKeyEvent(display, control, True, CurrentTime);
    XTestFakeKeyEvent(display, v, True, CurrentTime);
    XTestFakeKeyEvent(display, v, False, CurrentTime);
    XTestFakeKeyEvent(display, control, False, CurrentTime);
    XSync(display, False);
    return true;
}

unsigned long internAtom(Display* display, const char* name) {
    return XInternAtom(display, name, False);
}

void touchProperty(Display* display, unsigned long window, unsigned long atom) {
    XChangeProperty(display, window, atom, XA_INTEGER, 32, PropModeAppend, nullptr, 0);
    XFlush(display);
}

unsigned long clipboardOwner(Display* display) {
    if (!display) {
        return 0;
    }
    const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
    return XGetSelectionOwner(display, clipboard);
}

bool inputExtensionsUsable(Display* display) {
    if (!display) {
        return false;
    }
    int opcode = 0;
    int event = 0;
    int error = 0;
    if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error)) {
        return false;
    }
    int major = 2;
    int minor = 0;
    if (XIQueryVersion(display, &major, &minor) != Success || major < 2) {
        return false;
    }
    int eventBase = 0;
    int errorBase = 0;
    return XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor);
}

}  // namespace quillora::detail
