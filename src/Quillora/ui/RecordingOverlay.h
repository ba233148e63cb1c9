#pragma once

// The small dark capsule near the bottom of the screen under the pointer while the dictation key
// is held (a red dot, five level bars, "Listening") and while the words are worked out (a
// spinner, "Transcribing"). It never takes the keyboard focus and never receives clicks: the
// application being typed into keeps both. Main thread only.

#include <QPoint>
#include <QRect>
#include <QSize>

#include <array>
#include <memory>
#include <optional>

#include "DictationController.h"

class QWidget;

namespace quillora {

class OverlayPanel;

class RecordingOverlay final : public DictationOverlay {
public:
    static constexpr QSize size{190, 44};
    // The bars' heights relative to each other: the middle one tallest.
    static constexpr std::array<double, 5> weights{0.45, 0.75, 1.0, 0.75, 0.45};

    RecordingOverlay();
    ~RecordingOverlay() override;
    RecordingOverlay(const RecordingOverlay&) = delete;
    RecordingOverlay& operator=(const RecordingOverlay&) = delete;

    // Shows the overlay in `mode` on the screen under the pointer; listening starts the bars at
    // rest. The window is made on the first call and kept.
    void show(OverlayMode mode) override;
    void hide() override;
    void setLevel(float level) override;

    OverlayMode mode() const { return mode_; }
    float level() const { return level_; }
    // Absent until the first show().
    QWidget* panel() const;

    // Each bar's height in pixels for a level: 5 at rest, 5 + 20 × weight from 1/14 up.
    static std::array<double, 5> barHeights(float level);
    // Where the window's top-left corner goes on a screen with this free area: centred, its
    // lower edge 36 pixels above the bottom.
    static QPoint placement(const QRect& availableGeometry);

private:
    void position();

    OverlayMode mode_ = OverlayMode::listening;
    float level_ = 0;
    std::unique_ptr<OverlayPanel> panel_;
};

}  // namespace quillora
