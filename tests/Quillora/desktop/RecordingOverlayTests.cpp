// The recording overlay on a private X server: where it shows, that the focused window keeps the
// keyboard, and how tall its bars stand for a level.

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <QImage>

#include <cmath>
#include <sstream>

#include "ChildProcess.h"
#include "Receiver.h"
#include "WaitFor.h"
#include "ui/RecordingOverlay.h"

namespace quillora {
namespace {

std::string xdotool(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{"xdotool"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const testing::RunResult result = testing::runProgram(argv);
    EXPECT_EQ(result.exitCode, 0) << "xdotool " << arguments.front();
    return result.output;
}

TEST(RecordingOverlay, BarHeightsForLevels) {
    const struct {
        float level;
        std::array<double, 5> heights;
    } cases[] = {
        {0.0f, {5, 5, 5, 5, 5}},
        {0.05f, {11.3, 15.5, 19, 15.5, 11.3}},
        {1.0f / 14.0f, {14, 20, 25, 20, 14}},
        {0.5f, {14, 20, 25, 20, 14}},
        {1.0f, {14, 20, 25, 20, 14}},
    };
    for (const auto& c : cases) {
        const auto heights = RecordingOverlay::barHeights(c.level);
        for (std::size_t i = 0; i < heights.size(); ++i) {
            EXPECT_NEAR(heights[i], c.heights[i], 1e-5) << "level " << c.level << " bar " << i;
        }
    }
}

TEST(RecordingOverlay, ShowsAtTheBottomWithoutTakingTheFocus) {
    testing::Receiver receiver;
    ASSERT_TRUE(receiver.takeFocus());
    RecordingOverlay overlay;
    EXPECT_EQ(overlay.panel(), nullptr);

    overlay.setLevel(0.3f);
    overlay.show(OverlayMode::listening);
    EXPECT_EQ(overlay.level(), 0.0f);  // the bars start at rest
    QWidget* panel = overlay.panel();
    ASSERT_NE(panel, nullptr);
    ASSERT_TRUE(testing::waitFor([&] { return panel->isVisible(); }, std::chrono::seconds(10),
                                 testing::processEvents));

    // 1280 × 800 with nothing reserved: centred, the lower edge 36 above the bottom.
    EXPECT_EQ(RecordingOverlay::placement(QGuiApplication::primaryScreen()->availableGeometry()),
              QPoint(545, 720));
    const std::string window = xdotool({"search", "--name", "Quillora Recording"});
    ASSERT_FALSE(window.empty());
    const std::string id = window.substr(0, window.find('\n'));
    EXPECT_TRUE(testing::waitFor(
        [&] {
            const std::string geometry = xdotool({"getwindowgeometry", id});
            return geometry.find("Position: 545,720") != std::string::npos &&
                   geometry.find("Geometry: 190x44") != std::string::npos;
        },
        std::chrono::seconds(10), testing::processEvents))
        << xdotool({"getwindowgeometry", id});

    // The bars drawn follow the level: the middle one (x 16 + 8 + 10 + 2 × 7) stands 25 tall.
    const auto middleBar = [&] {
        const QImage image = panel->grab().toImage();
        int white = 0;
        for (int y = 0; y < image.height(); ++y) {
            white += image.pixelColor(50 * image.width() / 190, y).lightness() > 200 ? 1 : 0;
        }
        return white * 190 / image.width();
    };
    EXPECT_NEAR(middleBar(), 5, 1);
    overlay.setLevel(0.5f);
    EXPECT_TRUE(testing::waitFor([&] { return std::abs(middleBar() - 25) <= 1; },
                                 std::chrono::seconds(5), testing::processEvents))
        << middleBar();

    // The application in front keeps the keyboard, in either mode.
    const auto focus = [&] {
        testing::processEvents();
        return std::stoul(xdotool({"getwindowfocus"}));
    };
    EXPECT_EQ(focus(), receiver.windowId());
    overlay.setLevel(0.05f);
    overlay.show(OverlayMode::working);
    EXPECT_EQ(overlay.level(), 0.05f);  // kept, though not drawn
    EXPECT_EQ(overlay.mode(), OverlayMode::working);
    EXPECT_EQ(overlay.panel(), panel);  // no second window
    EXPECT_EQ(focus(), receiver.windowId());

    overlay.hide();
    EXPECT_TRUE(testing::waitFor([&] { return !panel->isVisible(); }));
    EXPECT_EQ(focus(), receiver.windowId());
}

}  // namespace
}  // namespace quillora
