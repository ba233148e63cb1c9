#include "KeyboardDevice.h"

#include <cstring>
#include <stdexcept>

#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

namespace quillora::testing {

struct KeyboardDevice::Connection {
    Display* display = nullptr;
    XDevice* device = nullptr;

    ~Connection() {
        if (device) {
            XCloseDevice(display, device);
        }
        if (display) {
            XCloseDisplay(display);
        }
    }
};

KeyboardDevice::KeyboardDevice() : connection_(std::make_unique<Connection>()) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        throw std::runtime_error("KeyboardDevice: cannot open the display");
    }
    connection_->display = display;
    int opcode = 0;
    int event = 0;
    int error = 0;
    int major = 2;
    int minor = 0;
    if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error) ||
        XIQueryVersion(display, &major, &minor) != Success) {
        throw std::runtime_error("KeyboardDevice: no XInput2");
    }
    int count = 0;
    XIDeviceInfo* devices = XIQueryDevice(display, XIAllDevices, &count);
    int keyboard = -1;
    for (int i = 0; i < count && keyboard < 0; ++i) {
        if (devices[i].use == XISlaveKeyboard && !std::strstr(devices[i].name, "XTEST")) {
            keyboard = devices[i].deviceid;
        }
    }
    XIFreeDeviceInfo(devices);
    if (keyboard < 0) {
        throw std::runtime_error("KeyboardDevice: the server has no keyboard device");
    }
    connection_->device = XOpenDevice(display, static_cast<XID>(keyboard));
    if (!connection_->device) {
        throw std::runtime_error("KeyboardDevice: cannot open the keyboard device");
    }
}

KeyboardDevice::~KeyboardDevice() = default;

void KeyboardDevice::press(unsigned keycode) {
    XTestFakeDeviceKeyEvent(connection_->display, connection_->device, keycode, True, nullptr, 0,
                            CurrentTime);
    XSync(connection_->display, False);
}

void KeyboardDevice::release(unsigned keycode) {
    XTestFakeDeviceKeyEvent(connection_->display, connection_->device, keycode, False, nullptr, 0,
                            CurrentTime);
    XSync(connection_->display, False);
}

}  // namespace quillora::testing
