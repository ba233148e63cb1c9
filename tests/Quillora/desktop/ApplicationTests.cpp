// The `quillora` program end to end on a private desktop: its own X server, sound server and
// model hub. The model is downloaded from the loopback hub (a checkpoint, converted on arrival),
// the dictation key is held on the keyboard device while a recording plays into the pipe
// microphone in real time, and the words land in the window in front.

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QRegularExpression>
#include <QScreen>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ChildProcess.h"
#include "KeyboardDevice.h"
#include "PrivateHome.h"
#include "PulseServer.h"
#include "Receiver.h"
#include "TestHub.h"
#include "WaitFor.h"
#include "quillora/settings/Hotkey.h"
#include "quillora/settings/KeyTable.h"
#include "rararozuvu/audio/AudioProcessor.h"

namespace quillora {
namespace {

namespace fs = std::filesystem;

const fs::path kShared = QUILLORA_SHARED_DIR;
const fs::path kBuild = QUILLORA_BINARY_DIR;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Words only: what was said, whatever the punctuation and letter case.
QString words(const QString& text) {
    return text.toLower()
        .remove(QRegularExpression(QStringLiteral("[^a-z0-9 ]")))
        .simplified();
}

bool windowShown(const std::string& name) {
    return testing::runProgram({"xdotool", "search", "--onlyvisible", "--name", name}).exitCode ==
           0;
}

TEST(Application, DictatesIntoTheWindowInFront) {
    const fs::path checkpoint = kShared / "models/tiny-en-synth";
    const fs::path sampleFile = kShared / "data/audio-synth/sample_001.wav";
    ASSERT_TRUE(fs::exists(checkpoint)) << checkpoint;

    testing::PrivateHome home;
    home.setEnvironment("XDG_SESSION_TYPE", "x11");
    home.setEnvironment("WAYLAND_DISPLAY", "");
    testing::PulseServer pulse;
    ASSERT_EQ(pulse.pactl({"set-default-source", "pipe"}).exitCode, 0);

    // What the command-line front end hears in the recording, with the same model.
    const fs::path converted = home.path() / "converted";
    const std::string cli = (kBuild / "tools/quillora-cli").string();
    ASSERT_EQ(testing::runProgram({cli, "convert", checkpoint.string(), converted.string()},
                                  std::chrono::minutes(2))
                  .exitCode,
              0);
    const testing::RunResult heard =
        testing::runProgram({cli, "--model-path", converted.string(), sampleFile.string()},
                            std::chrono::minutes(2));
    ASSERT_EQ(heard.exitCode, 0);
    const QString expected = words(QString::fromStdString(heard.output));
    ASSERT_FALSE(expected.isEmpty());

    // The checkpoint as the hub's copy of the model the default settings choose.
    hub::testing::TestHub hub;
    for (const auto& entry : fs::recursive_directory_iterator(checkpoint)) {
        if (entry.is_regular_file()) {
            hub.addFile(hub::Repo("vevidoinc/rararozuvu-coreml"),
                        "openai_whisper-small.en/" +
                            entry.path().lexically_relative(checkpoint).generic_string(),
                        readFile(entry.path()));
        }
    }

    testing::Receiver receiver;
    QApplication::clipboard()->setText(QStringLiteral("earlier words"));

    testing::ChildProcess::Options options;
    options.environment = {{"HUB_ENDPOINT", hub.endpoint()},
                           {"CI_DISABLE_NETWORK_MONITOR", "1"},
                           {"QT_QPA_PLATFORM", "xcb"}};
    options.quiet = false;
    testing::ChildProcess app({(kBuild / "src/Quillora/quillora").string()}, options);

    // No system tray under Xvfb: the program says so and opens its settings window, which is also
    // what a first launch does. The receiver then takes the keyboard back.
    ASSERT_TRUE(testing::waitFor([] { return windowShown("Quillora Settings"); },
                                 std::chrono::seconds(20), testing::processEvents));
    ASSERT_TRUE(receiver.takeFocus());

    // The key does nothing until the model is downloaded, converted and warmed up.
    testing::KeyboardDevice keyboard;
    const unsigned key = keys::x11KeyCode(Hotkey::defaultKey().keyCode).value();
    const bool recording = testing::waitFor(
        [&] {
            keyboard.press(key);
            if (testing::waitFor([] { return windowShown("Quillora Recording"); },
                                 std::chrono::seconds(2), testing::processEvents)) {
                return true;
            }
            keyboard.release(key);
            return false;
        },
        std::chrono::seconds(120), testing::processEvents);
    ASSERT_TRUE(recording) << "the program never started recording";

    // Held for the length of the recording, spoken in real time.
    const std::vector<float> samples = rararozuvu::AudioProcessor::loadAudioAsFloatArray(
        sampleFile.string(), rararozuvu::AudioProcessor::ChannelMode::sumChannels());
    // Paused for the picture just after the loudest tenth of a second of the middle, so the bars
    // stand up in it.
    std::size_t half = samples.size() / 2;
    float loudest = 0;
    for (std::size_t end = samples.size() * 3 / 10; end < samples.size() * 7 / 10; end += 400) {
        float sum = 0;
        for (std::size_t i = end - 1600; i < end; ++i) {
            sum += samples[i] * samples[i];
        }
        if (sum > loudest) {
            loudest = sum;
            half = end;
        }
    }
    pulse.writePipe(std::span(samples).first(half), true);
    const QRect capsule(545, 720, 190, 44);
    const auto capsuleImage = [&] {
        return QGuiApplication::primaryScreen()
            ->grabWindow(0, capsule.x(), capsule.y(), capsule.width(), capsule.height())
            .toImage();
    };
    QImage picture;
    EXPECT_TRUE(testing::waitFor(
        [&] {
            // The middle bar stands above its resting 5 pixels (the synthetic voice is quiet, so
            // not by much).
            picture = capsuleImage();
            int lit = 0;
            for (int y = 0; y < picture.height(); ++y) {
                lit += picture.pixelColor(50, y).lightness() > 128 ? 1 : 0;
            }
            return lit >= 6;
        },
        std::chrono::seconds(2), testing::processEvents))
        << "the level bars did not move";
    picture.save(QString::fromStdString((kBuild / "quillora-overlay.png").string()));
    pulse.writePipe(std::span(samples).subspan(half), true);
    keyboard.release(key);

    EXPECT_TRUE(testing::waitFor([&] { return words(receiver.text()) == expected; },
                                 std::chrono::seconds(30), testing::processEvents))
        << "received \"" << receiver.text().toStdString() << "\", the command line heard \""
        << heard.output << "\"";
    EXPECT_TRUE(testing::waitFor(
        [] { return QApplication::clipboard()->text() == QStringLiteral("earlier words"); },
        std::chrono::seconds(10), testing::processEvents))
        << QApplication::clipboard()->text().toStdString();
    EXPECT_TRUE(app.running());
}

}  // namespace
}  // namespace quillora
