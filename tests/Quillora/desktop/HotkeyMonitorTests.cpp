// The key monitor on a private X server: keys typed on the server's own keyboard device, as a
// person types them, and synthetic keys through XTEST (xdotool), as our own paste sends them.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "KeyboardDevice.h"
#include "PrivateHome.h"
#include "Receiver.h"
#include "WaitFor.h"
#include "XvfbServer.h"
#include "quillora/input/X11HotkeyMonitor.h"
#include "quillora/settings/KeyTable.h"

namespace quillora {
namespace {

bool keyboardGrabbedByAnotherClient();

constexpr uint16_t kA = 0;
constexpr uint16_t kB = 11;
constexpr uint16_t kQ = 12;
constexpr uint16_t kF8 = 100;
constexpr uint16_t kLeftControl = 59;
constexpr uint16_t kRightOption = 61;

unsigned x11(uint16_t keyCode) {
    return keys::x11KeyCode(keyCode).value();
}

class HotkeyMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The tests may run inside a Wayland desktop; the private display is X11.
        session_.setEnvironment("XDG_SESSION_TYPE", "x11");
        session_.setEnvironment("WAYLAND_DISPLAY", "");
        monitor_.onPress = [this] { reports_.push_back("press"); };
        monitor_.onRelease = [this] { reports_.push_back("release"); };
        monitor_.onInterrupt = [this] { reports_.push_back("interrupt"); };
    }

    // Set before start(), the key is watched (and grabbed) once start() returns.
    void watch(uint16_t keyCode) {
        monitor_.stop();
        monitor_.setHotkey(Hotkey::make(keyCode, {}));
        ASSERT_TRUE(monitor_.start()) << monitor_.problem().toStdString();
    }

    bool waitForReports(size_t count) {
        return testing::waitFor([&] { return reports_.size() >= count; }, std::chrono::seconds(10),
                                testing::processEvents);
    }

    testing::PrivateHome session_;
    X11HotkeyMonitor monitor_;
    testing::KeyboardDevice keyboard_;
    std::vector<std::string> reports_;
};

TEST_F(HotkeyMonitorTest, KeyDownAndUpGivePressAndReleaseInOrder) {
    for (uint16_t key : {kRightOption, kLeftControl, kF8, kQ}) {
        SCOPED_TRACE(key);
        reports_.clear();
        watch(key);
        keyboard_.press(x11(key));
        ASSERT_TRUE(waitForReports(1));
        keyboard_.release(x11(key));
        ASSERT_TRUE(waitForReports(2));
        testing::processEvents();
        EXPECT_EQ(reports_, (std::vector<std::string>{"press", "release"}));
    }
}

TEST_F(HotkeyMonitorTest, OrdinaryDictationKeyIsSwallowedWhileOtherKeysPass) {
    testing::Receiver receiver;
    ASSERT_TRUE(receiver.takeFocus());
    watch(kF8);
    keyboard_.tap(x11(kF8));
    keyboard_.tap(x11(kA));
    // Keys reach the window in the order typed: once "a" is there, F8 would have been too.
    ASSERT_TRUE(receiver.waitForText(QStringLiteral("a")));
    ASSERT_TRUE(waitForReports(2));
    EXPECT_EQ(reports_, (std::vector<std::string>{"press", "release"}));
    EXPECT_EQ(receiver.keyPresses(), 1);
    EXPECT_EQ(receiver.text(), QStringLiteral("a"));
}

TEST_F(HotkeyMonitorTest, KeyPressedDuringAHoldInterruptsAndReachesTheWindow) {
    testing::Receiver receiver;
    ASSERT_TRUE(receiver.takeFocus());
    watch(kF8);
    keyboard_.press(x11(kF8));
    ASSERT_TRUE(waitForReports(1));
    keyboard_.tap(x11(kA));
    ASSERT_TRUE(waitForReports(2));
    keyboard_.release(x11(kF8));
    keyboard_.tap(x11(kB));
    ASSERT_TRUE(receiver.waitForText(QStringLiteral("ab"))) << receiver.text().toStdString();
    testing::processEvents();
    EXPECT_EQ(reports_, (std::vector<std::string>{"press", "interrupt"}));
    EXPECT_EQ(receiver.keyPresses(), 2);
}

TEST_F(HotkeyMonitorTest, SyntheticControlVDoesNotFireAControlDictationKey) {
    watch(kLeftControl);
    auto pasted = testing::runProgram({"xdotool", "key", "--delay", "1", "ctrl+v"});
    ASSERT_EQ(pasted.exitCode, 0);
    // A real Control afterwards: had the synthetic one counted, its reports would come first.
    keyboard_.tap(x11(kLeftControl));
    ASSERT_TRUE(waitForReports(2));
    testing::processEvents();
    EXPECT_EQ(reports_, (std::vector<std::string>{"press", "release"}));
}

TEST_F(HotkeyMonitorTest, CaptureTakesTheNextKeyWithoutTheWindowSeeingIt) {
    testing::Receiver receiver;
    ASSERT_TRUE(receiver.takeFocus());
    watch(kF8);

    std::vector<std::optional<Hotkey>> captured;
    auto capture = [&] {
        monitor_.startCapture([&](std::optional<Hotkey> key) { captured.push_back(key); });
        ASSERT_TRUE(testing::waitFor(keyboardGrabbedByAnotherClient));
    };
    capture();
    keyboard_.tap(x11(kQ));
    ASSERT_TRUE(testing::waitFor([&] { return !captured.empty(); }, std::chrono::seconds(10),
                                 testing::processEvents));
    EXPECT_EQ(captured.back(), (Hotkey{kQ, QStringLiteral("Q")}));
    EXPECT_FALSE(monitor_.isCapturing());

    capture();
    keyboard_.tap(x11(kRightOption));
    ASSERT_TRUE(testing::waitFor([&] { return captured.size() == 2; }, std::chrono::seconds(10),
                                 testing::processEvents));
    EXPECT_EQ(captured.back(), (Hotkey{kRightOption, QStringLiteral("Right Option (⌥)")}));

    // Capture over, the keyboard is the window's again.
    keyboard_.tap(x11(kA));
    ASSERT_TRUE(receiver.waitForText(QStringLiteral("a")));
    EXPECT_EQ(receiver.keyPresses(), 1);
    EXPECT_TRUE(reports_.empty());
}

TEST_F(HotkeyMonitorTest, ReportsAServerWithoutXTest) {
    testing::XvfbServer withoutXTest({"-extension", "XTEST"});
    X11HotkeyMonitor monitor;
    EXPECT_FALSE(monitor.start());
    EXPECT_TRUE(monitor.problem().contains(QStringLiteral("lacks the XTEST extension")))
        << monitor.problem().toStdString();
}

}  // namespace
}  // namespace quillora

// Xlib's macros clash with Qt's names: it comes last.
#include <X11/Xlib.h>

namespace quillora {
namespace {

// Whether some client holds the keyboard: then our own attempt to grab it fails.
bool keyboardGrabbedByAnotherClient() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        return false;
    }
    const int status = XGrabKeyboard(display, DefaultRootWindow(display), False, GrabModeAsync,
                                     GrabModeAsync, CurrentTime);
    if (status == GrabSuccess) {
        XUngrabKeyboard(display, CurrentTime);
    }
    XCloseDisplay(display);
    return status == AlreadyGrabbed;
}

}  // namespace
}  // namespace quillora
