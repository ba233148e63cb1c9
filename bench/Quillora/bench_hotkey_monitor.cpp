// From a key event on the X server to the monitor's callback on the Qt main thread, on a private
// Xvfb: the latency a user feels between pressing the dictation key and the recording starting.
// Reports the median and 90th percentile of the presses in milliseconds.

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "KeyboardDevice.h"
#include "XvfbServer.h"
#include "quillora/input/X11HotkeyMonitor.h"
#include "quillora/settings/KeyTable.h"

namespace {

using Clock = std::chrono::steady_clock;

// Does `act`, then runs the Qt event loop until `callback` fires; false when a second passes
// without it.
template <class Action>
bool awaitCallback(quillora::HotkeyMonitor::Callback& callback, Action act) {
    QEventLoop loop;
    bool fired = false;
    callback = [&] {
        fired = true;
        loop.quit();
    };
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(1000);
    act();
    if (!fired) {
        loop.exec();
    }
    callback = nullptr;
    return fired;
}

// Arg: the dictation key (61 Right Option, a modifier that is watched only; 100 F8, an ordinary
// key that is also grabbed).
void BM_KeyEventToCallback(benchmark::State& state) {
    const auto keyCode = static_cast<uint16_t>(state.range(0));
    quillora::X11HotkeyMonitor monitor;
    monitor.setHotkey(quillora::Hotkey::make(keyCode, {}));
    if (!monitor.start()) {
        state.SkipWithError(monitor.problem().toStdString().c_str());
        return;
    }
    quillora::testing::KeyboardDevice keyboard;
    const unsigned x11Code = quillora::keys::x11KeyCode(keyCode).value();
    std::vector<double> milliseconds;
    for (auto _ : state) {
        Clock::time_point start;
        const bool pressed = awaitCallback(monitor.onPress, [&] {
            start = Clock::now();
            keyboard.press(x11Code);
        });
        const std::chrono::duration<double> elapsed = Clock::now() - start;
        if (!pressed || !awaitCallback(monitor.onRelease, [&] { keyboard.release(x11Code); })) {
            state.SkipWithError("a key event brought no callback within a second");
            break;
        }
        state.SetIterationTime(elapsed.count());
        milliseconds.push_back(elapsed.count() * 1000.0);
    }
    if (milliseconds.empty()) {
        return;
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    state.counters["median_ms"] = milliseconds[milliseconds.size() / 2];
    state.counters["p90_ms"] = milliseconds[milliseconds.size() * 9 / 10];
    state.counters["max_ms"] = milliseconds.back();
}
BENCHMARK(BM_KeyEventToCallback)
    ->Arg(61)
    ->Arg(100)
    ->Iterations(100)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    quillora::testing::XvfbServer display;
    // The private display is X11 whatever session the benchmark is started from.
    setenv("XDG_SESSION_TYPE", "x11", 1);
    unsetenv("WAYLAND_DISPLAY");
    QCoreApplication app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
