#pragma once

// Keys as a person at the keyboard types them: events posted through the X server's own keyboard
// device (Xvfb's "Xvfb keyboard"), not through the XTEST device that xdotool and synthetic paste
// use. Takes X keycodes. Uses $DISPLAY at construction.

#include <memory>

namespace quillora::testing {

class KeyboardDevice {
public:
    KeyboardDevice();  // throws when the server has no keyboard device besides XTEST's
    ~KeyboardDevice();
    KeyboardDevice(const KeyboardDevice&) = delete;
    KeyboardDevice& operator=(const KeyboardDevice&) = delete;

    void press(unsigned keycode);
    void release(unsigned keycode);
    void tap(unsigned keycode) {
        press(keycode);
        release(keycode);
    }

private:
    struct Connection;
    std::unique_ptr<Connection> connection_;
};

}  // namespace quillora::testing
