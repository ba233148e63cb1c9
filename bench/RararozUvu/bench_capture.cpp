// Live capture from a private PulseAudio server (the tests' PulseServer).
//
// pipeToBuffer: one 1600-frame fragment (0.1 s) written into the pipe source in real time, 20 ms
//   at a time; the iteration time runs from its first sample's write to the moment the fragment
//   is in our callback (the fragment's own 0.1 s included). Counter "afterLastWrite_ms": from the
//   last sample's write, the transport alone.
// idleCapture: AudioProcessor capturing silence written into the pipe source in real time;
//   counter "cpuPercentOfCore": the process's CPU time over 5 s of running capture beyond the
//   same 5 s without capture (the writer and the server's tone run in both).

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "PulseServer.h"
#include "rararozuvu/audio/AudioCapture.h"
#include "rararozuvu/audio/AudioProcessor.h"

namespace rararozuvu {
extern std::atomic<long> gReads, gPeeks;
}
namespace {

using Clock = std::chrono::steady_clock;
using quillora::testing::PulseServer;

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void pipeToBuffer(benchmark::State& state) {
    PulseServer server;
    const auto capture = rararozuvu::AudioCapture::connect("bench");
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Clock::time_point> arrivals;
    const auto stream = capture->record(std::string("pipe"), 1600, [&](std::span<const float>) {
        {
            std::lock_guard lock(mutex);
            arrivals.push_back(Clock::now());
        }
        arrived.notify_all();
    });
    const std::vector<float> fragment(1600, 0.25f);
    double afterLastWrite = 0;
    for (auto _ : state) {
        std::unique_lock lock(mutex);
        const std::size_t before = arrivals.size();
        lock.unlock();
        const auto firstWrite = Clock::now();
        server.writePipe(fragment, /*paced=*/true);
        const auto lastWrite = Clock::now();
        lock.lock();
        if (!arrived.wait_for(lock, std::chrono::seconds(2),
                              [&] { return arrivals.size() > before; })) {
            state.SkipWithError("the fragment did not arrive");
            return;
        }
        const auto at = arrivals[before];
        state.SetIterationTime(std::chrono::duration<double>(at - firstWrite).count());
        afterLastWrite += std::chrono::duration<double, std::milli>(at - lastWrite).count();
    }
    state.counters["afterLastWrite_ms"] = afterLastWrite / double(state.iterations());
}
BENCHMARK(pipeToBuffer)->UseManualTime()->Iterations(50)->Unit(benchmark::kMillisecond);

// Feeds the pipe source with silence in real time, `piece` frames at a time, while it lives.
class PacedSilence {
public:
    PacedSilence(const PulseServer& server, std::size_t piece)
        : fd_(open(server.pipePath().c_str(), O_WRONLY | O_CLOEXEC)),
          writer_([this, piece](std::stop_token stop) {
              const std::vector<std::int16_t> silence(piece, 0);
              const auto start = Clock::now();
              for (std::uint64_t frames = 0; !stop.stop_requested(); frames += piece) {
                  std::this_thread::sleep_until(
                      start + std::chrono::microseconds(frames * 1000000 / 16000));
                  [[maybe_unused]] const ssize_t n =
                      write(fd_, silence.data(), silence.size() * sizeof(std::int16_t));
              }
          }) {}
    ~PacedSilence() {
        writer_.request_stop();
        writer_.join();
        close(fd_);
    }

private:
    int fd_;
    std::jthread writer_;
};

void idleCapture(benchmark::State& state) {
    PulseServer server;
    PacedSilence feed(server, static_cast<std::size_t>(state.range(0)));
    constexpr auto span = std::chrono::seconds(5);
    double percent = 0;
    for (auto _ : state) {
        const double baselineStart = processCpuSeconds();
        std::this_thread::sleep_for(span);
        const double baseline = processCpuSeconds() - baselineStart;

        rararozuvu::AudioProcessor processor;
        processor.startRecordingLive(rararozuvu::AudioProcessor::getAudioDevices().back().id);
        std::this_thread::sleep_for(std::chrono::seconds(1));  // past the start
        const double captureStart = processCpuSeconds();
        std::this_thread::sleep_for(span);
        const double captured = processCpuSeconds() - captureStart;
        processor.stopRecording();
        benchmark::DoNotOptimize(processor.audioSamples().size());
        percent = 100.0 * (captured - baseline) / std::chrono::duration<double>(span).count();
    }
    state.counters["cpuPercentOfCore"] = percent;
}
// The server passes the pipe's pieces on as they come: 10 ms pieces wake the capture a hundred
// times a second, 100 ms pieces (a source run at the fragment's latency) ten times.
BENCHMARK(idleCapture)
    ->Arg(160)
    ->Arg(1600)
    ->ArgName("pieceFrames")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
