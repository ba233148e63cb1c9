// Where the key monitor cannot work, it says so and what to do, instead of watching nothing.

#include <gtest/gtest.h>

#include "PrivateHome.h"
#include "quillora/input/X11HotkeyMonitor.h"

namespace quillora {
namespace {

TEST(X11HotkeyMonitor, ReportsThatAWaylandSessionCannotBeWatched) {
    for (const auto& [variable, value] :
         {std::pair{"XDG_SESSION_TYPE", "wayland"}, std::pair{"WAYLAND_DISPLAY", "wayland-0"}}) {
        SCOPED_TRACE(variable);
        testing::PrivateHome home;
        home.setEnvironment(variable, value);
        X11HotkeyMonitor monitor;
        EXPECT_FALSE(monitor.start());
        EXPECT_FALSE(monitor.isRunning());
        EXPECT_TRUE(monitor.problem().contains(QStringLiteral("Wayland session")));
        EXPECT_TRUE(monitor.problem().contains(QStringLiteral("Choose an X11 session")));
    }
}

TEST(X11HotkeyMonitor, ReportsThatThereIsNoDisplay) {
    testing::PrivateHome home;
    home.setEnvironment("XDG_SESSION_TYPE", "x11");
    home.setEnvironment("WAYLAND_DISPLAY", "");
    home.setEnvironment("DISPLAY", ":none");
    X11HotkeyMonitor monitor;
    EXPECT_FALSE(monitor.start());
    EXPECT_TRUE(
        monitor.problem().contains(QStringLiteral("can't connect to the X display \":none\"")))
        << monitor.problem().toStdString();
}

}  // namespace
}  // namespace quillora
