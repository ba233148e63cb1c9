// The permission checks on a private X server, and without one.

#include <QApplication>
#include <QMessageBox>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "PrivateHome.h"
#include "PulseServer.h"
#include "TestSupport.h"
#include "WaitFor.h"
#include "quillora/text/Permissions.h"

namespace quillora {
namespace {

using hub::testing::ScopedEnvironment;

TEST(Permissions, AccessibilityIsAnX11SessionWithTheInputExtensions) {
    EXPECT_TRUE(Permissions::hasAccessibility());  // Xvfb offers XInput2 and XTest
    {
        ScopedEnvironment wayland("XDG_SESSION_TYPE", "wayland");
        EXPECT_FALSE(Permissions::hasAccessibility());
    }
    {
        ScopedEnvironment noDisplay("DISPLAY", std::nullopt);
        EXPECT_FALSE(Permissions::hasAccessibility());
    }
    EXPECT_TRUE(Permissions::hasAccessibility());
}

TEST(Permissions, MicrophoneIsAnInputOfTheSoundServer) {
    testing::PrivateHome home;
    {
        testing::PulseServer server;
        EXPECT_TRUE(Permissions::hasMicrophone());
    }
    // No server to ask: nothing to record from.
    home.setEnvironment("PULSE_SERVER", "unix:" + (home.runtimeDir() / "none").string());
    EXPECT_FALSE(Permissions::hasMicrophone());
}

TEST(Permissions, ThePaneIsAHelpText) {
    Permissions::openPrivacyPane(Permissions::Pane::accessibility);
    Permissions::openPrivacyPane(Permissions::Pane::accessibility);
    int shown = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
            ++shown;
            EXPECT_EQ(box->text(), Permissions::helpText(Permissions::Pane::accessibility));
            box->close();
        }
    }
    EXPECT_EQ(shown, 1);
    EXPECT_TRUE(Permissions::helpText(Permissions::Pane::microphone).contains("microphone"));
}

}  // namespace
}  // namespace quillora
