// The settings window off screen, driven with QTest: its settings in a private config folder, its
// API key in a private Secret Service, and a fake key monitor whose capture mode the test answers.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../QtMessages.h"
#include "PrivateHome.h"
#include "SessionBus.h"
#include "WaitFor.h"
#include "quillora/input/HotkeyMonitor.h"
#include "quillora/settings/AppSettings.h"
#include "quillora/text/Keychain.h"
#include "quillora/ui/Autostart.h"
#include "quillora/ui/SettingsWindow.h"

namespace quillora {
namespace {

namespace fs = std::filesystem;

const std::string kAccount(Keychain::apiKeyAccount);
const Hotkey kF5{96, QStringLiteral("F5")};

// Capture mode as the window sees it; the test plays the user's next key with press().
class FakeMonitor : public HotkeyMonitor {
public:
    Hotkey hotkey() const override { return hotkey_; }
    void setHotkey(const Hotkey& hotkey) override { hotkey_ = hotkey; }
    bool start() override { return true; }
    void stop() override {}
    bool isRunning() const override { return true; }
    QString problem() const override { return {}; }
    void startCapture(CaptureHandler handler) override {
        ++captures;
        handler_ = std::move(handler);
    }
    void cancelCapture() override { handler_ = nullptr; }
    bool isCapturing() const override { return static_cast<bool>(handler_); }

    // The user pressed a key (nothing for Escape) while capturing.
    void press(std::optional<Hotkey> key) {
        ASSERT_TRUE(handler_);
        auto handler = std::move(handler_);
        handler_ = nullptr;
        handler(std::move(key));
    }

    int captures = 0;

private:
    Hotkey hotkey_ = Hotkey::defaultKey();
    CaptureHandler handler_;
};

// On its box: a click beside a short label does not toggle a check box.
void clickBox(QCheckBox* box) {
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
}

bool processUntil(const std::function<bool()>& condition) {
    return testing::waitFor(condition, std::chrono::seconds(10),
                            [] { QCoreApplication::processEvents(); });
}

class SettingsWindowTest : public ::testing::Test {
protected:
    // A bus of its own even without a keyring: the window asks for the key whenever it opens,
    // and that must never reach the user's keyring. Settings load once the home is in place.
    void SetUp() override {
        bus_ = std::make_unique<testing::SessionBus>(
            home_, testing::SessionBus::Options{.keyring = keyring_});
        settings_ = std::make_unique<AppSettings>();
        window_ = std::make_unique<SettingsWindow>(*settings_, monitor_);
    }
    void TearDown() override {
        window_.reset();
        bus_.reset();
    }

    template <typename T>
    T* child(const char* name) const {
        T* widget = window_->findChild<T*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QString hint() const { return child<QLabel>("shortcutHint")->text(); }
    bool showsKeyName() const {
        return child<QLabel>("shortcutName")->isVisible() &&
               child<QPushButton>("changeShortcut")->isVisible() &&
               !child<QPushButton>("cancelShortcut")->isVisible();
    }
    QString keyStatus() const {
        auto* label = child<QLabel>("keyStatus");
        return label->isHidden() ? QString() : label->text();
    }
    void reopen() {
        window_->hide();
        window_->show();
    }

    bool keyring_ = false;
    testing::PrivateHome home_;
    std::unique_ptr<testing::SessionBus> bus_;
    FakeMonitor monitor_;
    std::unique_ptr<AppSettings> settings_;
    std::unique_ptr<SettingsWindow> window_;
};

TEST_F(SettingsWindowTest, HintAndChangeButtonFollowTheKeyAndTheAccessibility) {
    struct Case {
        bool accessibility;
        Hotkey key;
        QString hint;
    };
    const QString modifierHint = QStringLiteral(
        "Click Change… and press any key, such as Left Control or an F-key. Pressing another key "
        "while holding cancels, so your normal shortcuts still work.");
    const std::vector<Case> cases{
        {false, kF5, "Turn on Accessibility for Quillora (below) to change the shortcut."},
        {false,
         {63, QStringLiteral("fn / Globe (🌐)")},
         "Turn on Accessibility for Quillora (below) to change the shortcut."},
        {true,
         {63, QStringLiteral("fn / Globe (🌐)")},
         "The fn / Globe key never reaches programs on this desktop. Click Change… and press "
         "another key, such as Right Control or an F-key."},
        {true, {54, QStringLiteral("Right Command (⌘)")}, modifierHint},
        {true, {59, QStringLiteral("Left Control (⌃)")}, modifierHint},
        {true, kF5, "While it's your dictation key, F5 won't do its usual job in other apps."},
        {true,
         {12, QStringLiteral("Q")},
         "While it's your dictation key, Q won't do its usual job in other apps."},
    };
    window_->show();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key.name.toStdString() + (c.accessibility ? " granted" : " denied"));
        // Both change while the window is open: it follows either.
        window_->setAccessibilityGranted(c.accessibility);
        settings_->setHotkey(c.key);
        EXPECT_EQ(hint(), c.hint);
        EXPECT_EQ(window_->shortcutHint(), c.hint);
        EXPECT_EQ(child<QLabel>("shortcutName")->text(), c.key.name);
        EXPECT_EQ(child<QPushButton>("changeShortcut")->isEnabled(), c.accessibility);
        EXPECT_EQ(child<QPushButton>("accessibilityHelp")->isVisible(), !c.accessibility);
    }

    window_->setMicrophoneGranted(false);
    EXPECT_TRUE(child<QPushButton>("microphoneHelp")->isVisible());
    window_->setMicrophoneGranted(true);
    EXPECT_FALSE(child<QPushButton>("microphoneHelp")->isVisible());
    window_->setStatusText(QStringLiteral("Couldn't load speech model: no network"));
    EXPECT_EQ(child<QLabel>("status")->text(), "Couldn't load speech model: no network");
}

TEST_F(SettingsWindowTest, ShortcutIsCapturedThroughTheMonitor) {
    window_->setAccessibilityGranted(true);
    window_->show();
    auto* change = child<QPushButton>("changeShortcut");

    // A key: stored, and the row shows its name again.
    QTest::mouseClick(change, Qt::LeftButton);
    EXPECT_TRUE(monitor_.isCapturing());
    EXPECT_TRUE(window_->isRecordingShortcut());
    EXPECT_TRUE(child<QLabel>("shortcutWaiting")->isVisible());
    EXPECT_FALSE(child<QLabel>("shortcutName")->isVisible());
    monitor_.press(kF5);
    EXPECT_EQ(settings_->hotkey(), kF5);
    EXPECT_EQ(AppSettings().hotkey(), kF5);
    EXPECT_TRUE(showsKeyName());
    EXPECT_EQ(child<QLabel>("shortcutName")->text(), "F5");

    // Escape: the key stays.
    QTest::mouseClick(change, Qt::LeftButton);
    monitor_.press(std::nullopt);
    EXPECT_EQ(settings_->hotkey(), kF5);
    EXPECT_TRUE(showsKeyName());

    // Cancel: no key press is consumed, the monitor leaves capture mode.
    QTest::mouseClick(change, Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>("cancelShortcut"), Qt::LeftButton);
    EXPECT_FALSE(monitor_.isCapturing());
    EXPECT_EQ(settings_->hotkey(), kF5);
    EXPECT_TRUE(showsKeyName());

    // Closing the window while it waits ends the capture: the next key stays an ordinary key.
    QTest::mouseClick(change, Qt::LeftButton);
    window_->close();
    EXPECT_FALSE(monitor_.isCapturing());
    EXPECT_FALSE(window_->isRecordingShortcut());
    EXPECT_EQ(monitor_.captures, 4);

    // Without accessibility the button does nothing.
    window_->show();
    window_->setAccessibilityGranted(false);
    QTest::mouseClick(change, Qt::LeftButton);
    EXPECT_FALSE(monitor_.isCapturing());
    EXPECT_EQ(monitor_.captures, 4);
}

TEST_F(SettingsWindowTest, ChoicesAreStoredAtOnceAndFollowTheSettings) {
    window_->show();
    auto* model = child<QComboBox>("model");
    ASSERT_EQ(model->count(), 3);
    EXPECT_EQ(model->itemText(0), "Fast (English, small download)");
    EXPECT_EQ(model->itemText(1), "Balanced (English)");
    EXPECT_EQ(model->itemText(2), "Most accurate (multilingual, ~630 MB)");
    EXPECT_EQ(model->currentIndex(), 1);

    model->setCurrentIndex(2);
    EXPECT_EQ(settings_->model(), ModelChoice::best);
    EXPECT_EQ(AppSettings().model(), ModelChoice::best);
    settings_->setModel(ModelChoice::fast);
    EXPECT_EQ(model->currentIndex(), 0);

    struct Toggle {
        const char* name;
        bool (AppSettings::*get)() const;
        void (AppSettings::*set)(bool);
        bool initially;
    };
    const std::vector<Toggle> toggles{
        {"avoidBluetoothMic", &AppSettings::avoidBluetoothMic, &AppSettings::setAvoidBluetoothMic,
         true},
        {"cleanupEnabled", &AppSettings::cleanupEnabled, &AppSettings::setCleanupEnabled, false},
        {"soundsEnabled", &AppSettings::soundsEnabled, &AppSettings::setSoundsEnabled, true},
    };
    for (const Toggle& t : toggles) {
        SCOPED_TRACE(t.name);
        auto* box = child<QCheckBox>(t.name);
        EXPECT_EQ(box->isChecked(), t.initially);
        clickBox(box);
        EXPECT_EQ((settings_.get()->*t.get)(), !t.initially);
        EXPECT_EQ((AppSettings().*t.get)(), !t.initially);
        (settings_.get()->*t.set)(t.initially);
        EXPECT_EQ(box->isChecked(), t.initially);
    }
}

TEST_F(SettingsWindowTest, OpenAtLoginWritesAndRemovesTheAutostartEntry) {
    const fs::path entry = home_.configHome() / "autostart" / "quillora.desktop";
    EXPECT_EQ(Autostart::entryPath().toStdString(), entry.string());
    window_->show();
    auto* box = child<QCheckBox>("launchAtLogin");
    EXPECT_FALSE(box->isChecked());

    clickBox(box);
    ASSERT_TRUE(fs::exists(entry));
    QFile file(QString::fromStdString(entry.string()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nType=Application\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nExec=" + QCoreApplication::applicationFilePath() + "\n"))
        << text.toStdString();
    EXPECT_TRUE(Autostart::isEnabled());
    reopen();
    EXPECT_TRUE(box->isChecked());

    clickBox(box);
    EXPECT_FALSE(fs::exists(entry));
    reopen();
    EXPECT_FALSE(box->isChecked());

    // An entry the desktop switched off reads as off; turning it on writes ours over it.
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nExec=/usr/bin/quillora\n"
                            "X-GNOME-Autostart-enabled=false\n";
    reopen();
    EXPECT_FALSE(box->isChecked());
    clickBox(box);
    EXPECT_TRUE(Autostart::isEnabled());
    clickBox(box);
    EXPECT_FALSE(fs::exists(entry));

    // A failed attempt is not an error message: the box keeps the choice until the window next
    // opens and shows the real state.
    fs::create_directories(entry);  // a folder where the entry should go
    testing::QtMessages messages;
    clickBox(box);
    EXPECT_TRUE(box->isChecked());
    EXPECT_TRUE(messages.contains("could not change opening at login"));
    reopen();
    EXPECT_FALSE(box->isChecked());
}

TEST(Autostart, ExecLineCarriesAnyProgramPath) {
    struct Case {
        QString program;
        QString exec;
    };
    const std::vector<Case> cases{
        {"/usr/bin/quillora", "Exec=/usr/bin/quillora\n"},
        {"/opt/My Apps/quillora", "Exec=\"/opt/My Apps/quillora\"\n"},
        // Inside quotes $ and " are escaped with a backslash, which the string escape doubles;
        // % starts a field code and is doubled.
        {"/home/a$b/\"q\"/100%/quillora", "Exec=\"/home/a\\\\$b/\\\\\"q\\\\\"/100%%/quillora\"\n"},
        {"/home/back\\slash/quillora", "Exec=\"/home/back\\\\\\\\slash/quillora\"\n"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(Autostart::desktopEntry(c.program).contains(c.exec))
            << Autostart::desktopEntry(c.program).toStdString();
    }
    EXPECT_THROW(Autostart::desktopEntry("/tmp/evil\nExec=/bin/sh"), Autostart::Error);
}

class SettingsWindowKeyTest : public SettingsWindowTest {
protected:
    SettingsWindowKeyTest() { keyring_ = true; }
};

TEST_F(SettingsWindowKeyTest, SaveKeyStoresTheTrimmedKeyAndABlankFieldDeletesIt) {
    Keychain::set("sk-ant-stored", kAccount);
    window_->show();
    auto* field = child<QLineEdit>("apiKey");
    auto* save = child<QPushButton>("saveKey");
    EXPECT_EQ(field->echoMode(), QLineEdit::Password);
    ASSERT_TRUE(processUntil([&] { return field->text() == "sk-ant-stored"; }));
    EXPECT_EQ(keyStatus(), "");

    field->clear();
    QTest::keyClicks(field, "  sk-ant-new ");
    field->insert(QStringLiteral("\t"));
    QTest::mouseClick(save, Qt::LeftButton);
    ASSERT_TRUE(processUntil([&] { return keyStatus() == "Saved"; }));
    EXPECT_EQ(Keychain::get(kAccount), "sk-ant-new");
    EXPECT_EQ(field->text().toStdString(), "  sk-ant-new \t");

    // Typing hides "Saved" until the next save.
    QTest::keyClicks(field, "x");
    EXPECT_EQ(keyStatus(), "");

    // Reopening shows the stored key, not what was typed and never saved.
    reopen();
    ASSERT_TRUE(processUntil([&] { return field->text() == "sk-ant-new"; }));

    field->clear();
    QTest::keyClicks(field, "   ");
    QTest::mouseClick(save, Qt::LeftButton);
    ASSERT_TRUE(processUntil([&] { return keyStatus() == "Saved"; }));
    EXPECT_EQ(Keychain::get(kAccount), std::nullopt);
    reopen();
    ASSERT_TRUE(processUntil([&] { return field->text().isEmpty(); }));

    // The keyring answers the read of the reopened window only after the user typed (no event
    // is handled in between): the typing stays. The save is queued behind that read, so once
    // it lands the read has answered.
    Keychain::set("sk-ant-stored-again", kAccount);
    reopen();
    field->clear();
    QTest::keyClicks(field, "sk-ant-typed");
    QTest::mouseClick(save, Qt::LeftButton);
    ASSERT_TRUE(processUntil([&] { return keyStatus() == "Saved"; }));
    EXPECT_EQ(field->text().toStdString(), "sk-ant-typed");
    EXPECT_EQ(Keychain::get(kAccount), "sk-ant-typed");
}

TEST(SettingsWindowKey, FailureToStoreIsNeverReportedAsSaved) {
    testing::PrivateHome home;
    testing::SessionBus bus(home, {.keyring = false});
    AppSettings settings;
    FakeMonitor monitor;
    SettingsWindow window(settings, monitor);
    window.show();
    auto* status = window.findChild<QLabel*>(QStringLiteral("keyStatus"));
    ASSERT_NE(status, nullptr);
    ASSERT_TRUE(processUntil([&] {
        return !status->isHidden() && status->text().startsWith("Couldn't read the saved key: ");
    }));

    auto* field = window.findChild<QLineEdit*>(QStringLiteral("apiKey"));
    QTest::keyClicks(field, "sk-ant-key");
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("saveKey")), Qt::LeftButton);
    ASSERT_TRUE(processUntil([&] { return !status->isHidden(); }));
    EXPECT_TRUE(status->text().startsWith("Not saved: No Secret Service is available"))
        << status->text().toStdString();
}

}  // namespace
}  // namespace quillora
