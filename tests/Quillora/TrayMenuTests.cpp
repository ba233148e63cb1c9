// The tray menu's items and its symbol for each state of the controller.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>

#include "ControllerFakes.h"
#include "ui/TrayMenu.h"

namespace quillora {
namespace {

using testing::ControllerRig;

QStringList items(QMenu& menu) {
    QStringList texts;
    for (QAction* action : menu.actions()) {
        QString text = action->isSeparator() ? QStringLiteral("---") : action->text();
        if (!action->shortcut().isEmpty()) {
            text += " [" + action->shortcut().toString() + "]";
        }
        if (!action->isSeparator() && !action->isEnabled()) {
            text = "(" + text + ")";
        }
        texts.push_back(text);
    }
    return texts;
}

QAction* item(QMenu& menu, const QString& text) {
    for (QAction* action : menu.actions()) {
        if (action->text() == text) {
            return action;
        }
    }
    return nullptr;
}

TEST(TrayMenu, ItemsAndSymbolFollowThePhase) {
    ControllerRig rig;
    TrayMenu tray(*rig.controller);
    const QStringList tail{"---", "Settings… [Ctrl+,]", "---", "Quit Quillora [Ctrl+Q]"};
    const auto expect = [&](const QString& status, const QString& symbol) {
        EXPECT_EQ(items(tray.menu()), QStringList{"(" + status + ")"} + tail);
        EXPECT_EQ(TrayMenu::iconName(*rig.controller), symbol);
    };

    expect("Starting…", "arrow.down.circle");
    rig.controller->start();
    expect("Preparing speech model… the first time takes a few minutes", "arrow.down.circle");
    rig.transcriber->finishLoad("small.en");
    expect("Ready — hold Right Option (⌥) and speak", "waveform");
    rig.recorder->samples.assign(16000, 0.1f);
    rig.hotkeys.onPress();
    expect("Listening…", "mic.fill");
    rig.hotkeys.onRelease();
    rig.clock->advance(DictationController::releaseTail);
    expect("Transcribing…", "ellipsis.circle");
    rig.transcriber->finishTranscription({"", "no model"});
    expect("Transcription failed: no model", "exclamationmark.triangle");
}

TEST(TrayMenu, OptionalItems) {
    ControllerRig rig;
    TrayMenu tray(*rig.controller);
    rig.controller->start();
    rig.transcriber->finishLoad("small.en");

    // A missing permission: the item to grant it, and the warning in place of "ready".
    rig.permissions->microphone = false;
    rig.controller->refreshPermissions();
    EXPECT_EQ(items(tray.menu()),
              (QStringList{"(Needs Microphone and Accessibility permission)",
                           "Grant Permissions…", "---", "Settings… [Ctrl+,]", "---",
                           "Quit Quillora [Ctrl+Q]"}));
    EXPECT_EQ(TrayMenu::iconName(*rig.controller), "exclamationmark.triangle");
    rig.log.events.clear();
    item(tray.menu(), "Grant Permissions…")->trigger();
    EXPECT_EQ(rig.log.events, QStringList{"ask microphone"});
    rig.permissions->microphone = true;
    rig.controller->refreshPermissions();

    // After a dictation with text, it can be copied: plain text that stays on the clipboard.
    rig.recorder->samples.assign(16000, 0.1f);
    rig.hotkeys.onPress();
    rig.hotkeys.onRelease();
    rig.clock->advance(DictationController::releaseTail);
    rig.transcriber->finishTranscription({"Two seven eight.", std::nullopt});
    EXPECT_EQ(items(tray.menu()),
              (QStringList{"(Ready — hold Right Option (⌥) and speak)", "---",
                           "Copy Last Dictation", "Settings… [Ctrl+,]", "---",
                           "Quit Quillora [Ctrl+Q]"}));
    QApplication::clipboard()->setText("earlier");
    item(tray.menu(), "Copy Last Dictation")->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), "Two seven eight.");
}

}  // namespace
}  // namespace quillora
