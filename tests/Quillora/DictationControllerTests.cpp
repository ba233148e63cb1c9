// The dictation controller over fakes: what each sequence of key presses, timer ticks, model loads
// and transcriptions leads to, as a table.

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QWidget>

#include <cmath>
#include <sstream>

#include "ControllerFakes.h"

namespace quillora {
namespace {

using testing::ControllerRig;
using Kind = DictationController::Phase::Kind;

std::vector<float> tone(std::size_t count, float rms) {
    // A square wave's root mean square is its amplitude.
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = (i % 2 == 0) ? rms : -rms;
    }
    return samples;
}

QString describe(const DictationController::Phase& phase) {
    switch (phase.kind) {
        case Kind::loading:
            return "loading: " + phase.message;
        case Kind::error:
            return "error: " + phase.message;
        case Kind::ready:
            return "ready";
        case Kind::recording:
            return "recording";
        case Kind::transcribing:
            return "transcribing";
    }
    return {};
}

// One word per step:
//   start                 the controller's start-up (loads the balanced model, "small.en")
//   loaded NAME / failed NAME   the pending load of that model ends
//   press / release / interrupt the dictation key
//   wait MS               the clock moves on
//   speech / quiet / tap / level X   what the microphone gives at the next stop: 1 s of speech,
//                         1 s at rms 0.0019, 0.2 s of speech, 1 s at rms X
//   heard TEXT / unheard  the pending transcription ends (TEXT "-" for empty)
//   choose fast|best|balanced   the model setting
//   mic-broken / no-mic   the recorder fails to start / there is no microphone
//   cleanup / silent      clean-up on / sounds off
void run(ControllerRig& rig, const std::string& script) {
    std::istringstream in(script);
    for (std::string word; in >> word;) {
        if (word == "start") {
            rig.controller->start();
        } else if (word == "loaded" || word == "failed") {
            std::string name;
            in >> name;
            rig.transcriber->finishLoad(name, word == "failed"
                                                  ? std::optional<std::string>("no such model")
                                                  : std::nullopt);
        } else if (word == "press") {
            rig.hotkeys.onPress();
        } else if (word == "release") {
            rig.hotkeys.onRelease();
        } else if (word == "interrupt") {
            rig.hotkeys.onInterrupt();
        } else if (word == "wait") {
            int ms = 0;
            in >> ms;
            rig.clock->advance(std::chrono::milliseconds(ms));
        } else if (word == "speech") {
            rig.recorder->samples = tone(16000, 0.1f);
        } else if (word == "quiet") {
            rig.recorder->samples = tone(16000, 0.0019f);
        } else if (word == "tap") {
            rig.recorder->samples = tone(3200, 0.1f);
        } else if (word == "level") {
            float level = 0;
            in >> level;
            rig.recorder->samples = tone(16000, level);
        } else if (word == "heard") {
            std::string text;
            in >> text;
            rig.transcriber->finishTranscription({text == "-" ? "" : text, std::nullopt});
        } else if (word == "unheard") {
            rig.transcriber->finishTranscription({"", "boom"});
        } else if (word == "choose") {
            std::string choice;
            in >> choice;
            rig.settings->setModel(*modelChoiceFromRawValue(QString::fromStdString(choice)));
        } else if (word == "mic-broken") {
            rig.recorder->failure = "The sound server refused.";
        } else if (word == "no-mic") {
            rig.permissions->microphone = false;
            rig.controller->refreshPermissions();
        } else if (word == "cleanup") {
            rig.settings->setCleanupEnabled(true);
        } else if (word == "silent") {
            rig.settings->setSoundsEnabled(false);
        } else {
            throw std::logic_error("unknown step " + word);
        }
    }
}

TEST(DictationController, PhasesAndGates) {
    const std::string ready = "start loaded small.en speech ";
    const struct {
        const char* name;
        std::string script;
        const char* phase;
        // What the fakes did after `ready`'s steps, in order.
        QStringList events;
    } cases[] = {
        {"a dictation is pasted 0.35 s after the key goes up",
         ready + "press wait 1000 release wait 349",
         "recording",
         {"mic on (no bluetooth)", "overlay listening", "sound start"}},
        {"then transcribed and pasted", ready + "press wait 1000 release wait 350 heard Hello",
         "ready",
         {"mic on (no bluetooth)", "overlay listening", "sound start", "mic off", "sound end",
          "overlay working", "transcribe 16000", "overlay off", "paste Hello"}},
        {"the key does nothing before a model is ready", "start speech press wait 1000 release",
         "loading: Preparing speech model… the first time takes a few minutes",
         {"keys on", "load small.en"}},
        {"the key does nothing after a failed load", "start failed small.en press",
         "error: Couldn't load speech model: no such model",
         {"keys on", "load small.en"}},
        {"a tap types nothing", ready + "tap press release wait 350", "ready",
         {"mic on (no bluetooth)", "overlay listening", "sound start", "mic off", "sound end",
          "overlay off"}},
        {"silence types nothing",
         ready + "quiet press wait 500 release wait 350", "ready",
         {"mic on (no bluetooth)", "overlay listening", "sound start", "mic off", "sound end",
          "overlay off"}},
        {"just above the silence level is transcribed",
         ready + "level 0.0021 press wait 500 release wait 350", "transcribing",
         {"mic on (no bluetooth)", "overlay listening", "sound start", "mic off", "sound end",
          "overlay working", "transcribe 16000"}},
        {"a second press within the tail is ignored; the end comes 0.35 s after the first release",
         ready + "press wait 500 release wait 200 press wait 150", "transcribing",
         {"mic on (no bluetooth)", "overlay listening", "sound start", "mic off", "sound end",
          "overlay working", "transcribe 16000"}},
        {"another key during the tail cancels without a sound",
         ready + "press wait 500 release wait 100 interrupt wait 1000", "ready",
         {"mic on (no bluetooth)", "overlay listening", "sound start", "mic off", "overlay off"}},
        {"the end of a cancelled recording does not cut the next one short",
         ready + "press wait 500 release wait 100 interrupt press wait 1000", "recording",
         {"mic on (no bluetooth)", "overlay listening", "sound start", "mic off", "overlay off",
          "mic on (no bluetooth)", "overlay listening", "sound start"}},
        {"a recorder that cannot start is an error", ready + "mic-broken press",
         "error: Microphone error: The sound server refused.",
         {}},
        {"without a microphone the press asks for one", ready + "no-mic press", "ready",
         {"ask microphone"}},
        {"a failed transcription is an error, and the next press records again",
         ready + "press wait 500 release wait 350 unheard press",
         "recording",
         {"mic on (no bluetooth)", "overlay listening", "sound start", "mic off", "sound end",
          "overlay working", "transcribe 16000", "overlay off", "mic on (no bluetooth)",
          "overlay listening", "sound start"}},
        {"an empty transcript pastes nothing", ready + "press wait 500 release wait 350 heard -",
         "ready",
         {"mic on (no bluetooth)", "overlay listening", "sound start", "mic off", "sound end",
          "overlay working", "transcribe 16000", "overlay off"}},
        {"clean-up replaces the text", ready + "cleanup press wait 500 release wait 350 heard hi",
         "ready",
         {"mic on (no bluetooth)", "overlay listening", "sound start", "mic off", "sound end",
          "overlay working", "transcribe 16000", "clean hi", "overlay off", "paste Cleaned: hi"}},
        {"sounds off", ready + "silent press wait 500 release wait 350 heard hi", "ready",
         {"mic on (no bluetooth)", "overlay listening", "mic off", "overlay working",
          "transcribe 16000", "overlay off", "paste hi"}},
        {"a new model while recording: microphone and overlay off, then the load",
         ready + "press wait 500 choose fast", "loading: Preparing speech model… the first "
                                              "time takes a few minutes",
         {"mic on (no bluetooth)", "overlay listening", "sound start", "mic off", "overlay off",
          "load base.en"}},
        {"the release of a recording that a new model cancelled does nothing",
         ready + "press wait 500 release choose fast wait 350 loaded base.en", "ready",
         {"mic on (no bluetooth)", "overlay listening", "sound start", "mic off", "overlay off",
          "load base.en"}},
        {"a transcription that ends during a load leaves the phase to the load",
         ready + "press wait 500 release wait 350 choose fast heard hi",
         "loading: Preparing speech model… the first time takes a few minutes",
         {"mic on (no bluetooth)", "overlay listening", "sound start", "mic off", "sound end",
          "overlay working", "transcribe 16000", "load base.en", "overlay off", "paste hi"}},
        {"a load that ends during a transcription leaves it transcribing",
         ready + "press wait 500 release wait 350 choose fast loaded base.en", "transcribing",
         {"mic on (no bluetooth)", "overlay listening", "sound start", "mic off", "sound end",
          "overlay working", "transcribe 16000", "load base.en"}},
        {"the last choice wins, whichever load ends last",
         ready + "choose fast choose best loaded large-v3-v20240930_turbo_632MB failed base.en",
         "ready",
         {"load base.en", "load large-v3-v20240930_turbo_632MB"}},
        {"an earlier load's success does not make a failed last choice ready",
         ready + "choose fast choose best failed large-v3-v20240930_turbo_632MB loaded base.en "
                 "press",
         "error: Couldn't load speech model: no such model",
         {"load base.en", "load large-v3-v20240930_turbo_632MB"}},
        {"the same choice again loads nothing", ready + "choose balanced", "ready", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ControllerRig rig;
        const std::size_t prefix = c.script.starts_with(ready) ? ready.size() : 0;
        run(rig, c.script.substr(0, prefix));
        rig.log.events.clear();
        run(rig, c.script.substr(prefix));
        EXPECT_EQ(describe(rig.controller->phase()), c.phase);
        EXPECT_EQ(rig.log.events, c.events);
    }
}

TEST(DictationController, LastTranscriptAndLevels) {
    ControllerRig rig;
    run(rig, "start loaded small.en speech press");
    rig.recorder->onLevel(0.25f);
    EXPECT_EQ(rig.overlay->level, 0.25f);
    run(rig, "release wait 350 heard first");
    EXPECT_EQ(rig.controller->lastTranscript(), "first");
    run(rig, "press wait 500 release wait 350 heard -");
    EXPECT_EQ(rig.controller->lastTranscript(), "first");
}

TEST(DictationController, StatusLineFollowsPhaseAndPermissions) {
    ControllerRig rig;
    EXPECT_EQ(rig.controller->statusText(), "Starting…");
    QSignalSpy changes(rig.controller.get(), &DictationController::changed);
    run(rig, "start loaded small.en");
    EXPECT_EQ(rig.controller->statusText(), "Ready — hold Right Option (⌥) and speak");
    rig.settings->setHotkey(Hotkey::make(100, {}));
    EXPECT_EQ(rig.hotkeys.hotkey().keyCode, 100);
    EXPECT_EQ(rig.controller->statusText(), "Ready — hold F8 and speak");
    run(rig, "speech press");
    EXPECT_EQ(rig.controller->statusText(), "Listening…");
    run(rig, "release wait 350");
    EXPECT_EQ(rig.controller->statusText(), "Transcribing…");
    run(rig, "heard x");

    // The permissions are read again every 2 s; only a change is announced.
    changes.clear();
    rig.permissions->accessibility = false;
    rig.clock->advance(DictationController::permissionInterval);
    EXPECT_FALSE(rig.controller->hasAccessibility());
    EXPECT_EQ(rig.controller->statusText(), "Needs Microphone and Accessibility permission");
    EXPECT_EQ(changes.count(), 1);
    rig.clock->advance(std::chrono::milliseconds(2000));
    EXPECT_EQ(changes.count(), 1);
}

TEST(DictationController, KeyMonitorStartsOnceAccessibilityIsThere) {
    ControllerRig rig([](ControllerRig& r) { r.permissions->accessibility = false; });
    rig.controller->start();
    EXPECT_EQ(rig.log.events.count("keys on"), 1);
    EXPECT_TRUE(rig.log.events.contains("ask accessibility"));
    rig.permissions->accessibility = true;
    rig.clock->advance(std::chrono::milliseconds(2000));
    EXPECT_EQ(rig.log.events.count("keys on"), 2);
    EXPECT_TRUE(rig.controller->hasAccessibility());
}

TEST(DictationController, SettingsWindowOpensOnFirstLaunchAndWhilePermissionsMiss) {
    testing::PrivateHome home;  // one settings file for every launch
    const auto launch = [](bool microphone) {
        ControllerRig rig([&](ControllerRig& r) { r.permissions->microphone = microphone; },
                          true);
        int made = 0;
        rig.controller->setSettingsWindowFactory([&] {
            ++made;
            return new QWidget;
        });
        rig.controller->start();
        if (made == 0) {
            return std::string("closed");
        }
        QWidget* window = rig.controller->settingsWindow();
        EXPECT_EQ(window->windowTitle(), "Quillora Settings");
        EXPECT_TRUE(window->isVisible());
        window->close();
        rig.controller->showSettings();
        EXPECT_EQ(made, 1);  // closing only hides: the same window comes back
        EXPECT_TRUE(window->isVisible());
        return std::string("shown");
    };
    EXPECT_EQ(launch(true), "shown");  // the first launch
    EXPECT_EQ(launch(true), "closed");
    EXPECT_EQ(launch(false), "shown");  // a permission is missing
    EXPECT_EQ(launch(true), "closed");
}

}  // namespace
}  // namespace quillora
