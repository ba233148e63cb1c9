// The settings as they load from, and go to, the user's settings file in a private
// XDG_CONFIG_HOME.

#include <gtest/gtest.h>

#include <QFile>
#include <QSettings>
#include <QSignalSpy>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PrivateHome.h"
#include "quillora/settings/AppSettings.h"

namespace quillora {
namespace {

std::filesystem::path storeFile(const testing::PrivateHome& home) {
    return home.configHome() / "Quillora" / "Quillora.conf";
}

// Writes the settings file the way a user's older installation left it.
void writeStoreFile(const testing::PrivateHome& home, const std::string& lines) {
    std::filesystem::create_directories(storeFile(home).parent_path());
    std::ofstream(storeFile(home)) << "[General]\n" << lines;
}

class AppSettingsTest : public ::testing::Test {
protected:
    void writeStore(const std::string& lines) { writeStoreFile(home_, lines); }

    QString storedText(const char* key) const {
        QSettings store(QString::fromStdString(storeFile(home_).string()), QSettings::IniFormat);
        return store.value(QLatin1String(key)).toString();
    }

    testing::PrivateHome home_;
};

TEST_F(AppSettingsTest, StoreLivesInThePrivateConfigFolder) {
    EXPECT_EQ(AppSettings::storePath().toStdString(), storeFile(home_).string());
}

struct LoadCase {
    const char* name;
    std::string stored;
    Hotkey hotkey;
    ModelChoice model;
    bool cleanupEnabled;
    bool soundsEnabled;
    bool avoidBluetoothMic;
    QString microphoneUID;
};

TEST(AppSettings, LoadsStoredValuesAndFallsBackToDefaults) {
    const Hotkey rightOption{61, QStringLiteral("Right Option (⌥)")};
    const Hotkey fn{63, QStringLiteral("fn / Globe (🌐)")};
    const Hotkey rightCommand{54, QStringLiteral("Right Command (⌘)")};
    const std::vector<LoadCase> cases{
        {"nothing stored", "", rightOption, ModelChoice::balanced, false, true, true, {}},
        {"every value stored",
         "hotkeyCode=12\nhotkeyName=Q\nmodel=best\ncleanupEnabled=true\nsoundsEnabled=false\n"
         "avoidBluetoothMic=false\nmicrophoneUID=alsa_input.usb-mic\n",
         {12, QStringLiteral("Q")},
         ModelChoice::best,
         true,
         false,
         false,
         QStringLiteral("alsa_input.usb-mic")},
        {"legacy fn", "triggerKey=fn\n", fn, ModelChoice::balanced, false, true, true, {}},
        {"legacy right command",
         "triggerKey=rightCommand\n",
         rightCommand,
         ModelChoice::balanced,
         false,
         true,
         true,
         {}},
        {"legacy unknown",
         "triggerKey=capsLock\n",
         rightOption,
         ModelChoice::balanced,
         false,
         true,
         true,
         {}},
        {"stored key wins over legacy",
         "triggerKey=fn\nhotkeyCode=100\nhotkeyName=F8\n",
         {100, QStringLiteral("F8")},
         ModelChoice::balanced,
         false,
         true,
         true,
         {}},
        {"name without code",
         "triggerKey=fn\nhotkeyName=F8\n",
         fn,
         ModelChoice::balanced,
         false,
         true,
         true,
         {}},
        {"code without name",
         "triggerKey=rightCommand\nhotkeyCode=100\n",
         rightCommand,
         ModelChoice::balanced,
         false,
         true,
         true,
         {}},
        {"code beyond 16 bits",
         "hotkeyCode=70000\nhotkeyName=Huge\n",
         rightOption,
         ModelChoice::balanced,
         false,
         true,
         true,
         {}},
        {"code not a number",
         "triggerKey=fn\nhotkeyCode=abc\nhotkeyName=Q\n",
         fn,
         ModelChoice::balanced,
         false,
         true,
         true,
         {}},
        {"unknown model",
         "model=huge\n",
         rightOption,
         ModelChoice::balanced,
         false,
         true,
         true,
         {}},
        {"fast model", "model=fast\n", rightOption, ModelChoice::fast, false, true, true, {}},
        {"Booleans of the wrong type",
         "soundsEnabled=maybe\navoidBluetoothMic=2\n",
         rightOption,
         ModelChoice::balanced,
         false,
         true,
         true,
         {}},
        {"clean-up by the store's conversion",
         "cleanupEnabled=1\n",
         rightOption,
         ModelChoice::balanced,
         true,
         true,
         true,
         {}},
        {"clean-up false text",
         "cleanupEnabled=false\n",
         rightOption,
         ModelChoice::balanced,
         false,
         true,
         true,
         {}},
    };
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.name);
        // A home of its own per case: Qt keeps a process-wide cache of settings files.
        testing::PrivateHome home;
        writeStoreFile(home, c.stored);
        AppSettings settings;
        EXPECT_EQ(settings.hotkey().keyCode, c.hotkey.keyCode);
        EXPECT_EQ(settings.hotkey().name.toStdString(), c.hotkey.name.toStdString());
        EXPECT_EQ(settings.model(), c.model);
        EXPECT_EQ(settings.cleanupEnabled(), c.cleanupEnabled);
        EXPECT_EQ(settings.soundsEnabled(), c.soundsEnabled);
        EXPECT_EQ(settings.avoidBluetoothMic(), c.avoidBluetoothMic);
        EXPECT_EQ(settings.microphoneUID(), c.microphoneUID);
    }
}

TEST_F(AppSettingsTest, LegacyKeyIsReadButNotRewrittenUntilTheUserChoosesAKey) {
    writeStore("triggerKey=fn\n");
    {
        AppSettings settings;
        EXPECT_EQ(settings.hotkey().keyCode, 63);
    }
    EXPECT_TRUE(storedText("hotkeyCode").isEmpty());
    {
        AppSettings settings;
        settings.setHotkey({100, QStringLiteral("F8")});
    }
    EXPECT_EQ(storedText("hotkeyCode"), QStringLiteral("100"));
    EXPECT_EQ(storedText("triggerKey"), QStringLiteral("fn"));
    AppSettings reloaded;
    EXPECT_EQ(reloaded.hotkey(), (Hotkey{100, QStringLiteral("F8")}));
}

TEST_F(AppSettingsTest, EveryAssignmentSignalsThenStoresAtOnce) {
    AppSettings settings;
    QSignalSpy hotkeys(&settings, &AppSettings::hotkeyChanged);
    QSignalSpy models(&settings, &AppSettings::modelChanged);
    QSignalSpy sounds(&settings, &AppSettings::soundsEnabledChanged);
    QSignalSpy cleanups(&settings, &AppSettings::cleanupEnabledChanged);
    QSignalSpy bluetooth(&settings, &AppSettings::avoidBluetoothMicChanged);

    // A receiver already sees the new value when the signal comes.
    ModelChoice seen = ModelChoice::fast;
    QObject::connect(&settings, &AppSettings::modelChanged,
                     [&](ModelChoice) { seen = settings.model(); });

    const Hotkey leftControl{59, QStringLiteral("Left Control (⌃)")};
    settings.setHotkey(leftControl);
    settings.setHotkey(leftControl);  // unchanged: still signalled and written
    settings.setModel(ModelChoice::best);
    settings.setSoundsEnabled(false);
    settings.setCleanupEnabled(true);
    settings.setAvoidBluetoothMic(false);

    EXPECT_EQ(hotkeys.count(), 2);
    EXPECT_EQ(hotkeys.at(0).at(0).value<Hotkey>(), leftControl);
    EXPECT_EQ(models.count(), 1);
    EXPECT_EQ(seen, ModelChoice::best);
    EXPECT_EQ(sounds.count(), 1);
    EXPECT_EQ(cleanups.count(), 1);
    EXPECT_EQ(bluetooth.count(), 1);

    // On disk before this object goes away, in the forms older versions read.
    EXPECT_EQ(storedText("hotkeyCode"), QStringLiteral("59"));
    EXPECT_EQ(storedText("hotkeyName"), QStringLiteral("Left Control (⌃)"));
    EXPECT_EQ(storedText("model"), QStringLiteral("best"));
    EXPECT_EQ(storedText("soundsEnabled"), QStringLiteral("false"));
    EXPECT_EQ(storedText("cleanupEnabled"), QStringLiteral("true"));
    EXPECT_EQ(storedText("avoidBluetoothMic"), QStringLiteral("false"));

    AppSettings reloaded;
    EXPECT_EQ(reloaded.hotkey(), leftControl);
    EXPECT_EQ(reloaded.model(), ModelChoice::best);
    EXPECT_FALSE(reloaded.soundsEnabled());
    EXPECT_TRUE(reloaded.cleanupEnabled());
    EXPECT_FALSE(reloaded.avoidBluetoothMic());
}

}  // namespace
}  // namespace quillora
