// Decoding and resampling a 10-minute 44.1 kHz stereo recording to 16 kHz mono, whole and streamed.
// Reported counter "xRealTime": seconds of audio loaded per second of wall time.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "rararozuvu/audio/AudioProcessor.h"

namespace {

constexpr double durationSeconds = 600.0;

// Made once with sox and kept in /tmp for later runs.
const std::string& tenMinuteFile() {
    static const std::string path = [] {
        const std::string file = "/tmp/quillora-bench-10min-44k1-stereo.wav";
        if (!std::filesystem::exists(file)) {
            const std::string partial = file + ".part.wav";
            const std::string command = "sox -n -r 44100 -c 2 -b 16 " + partial +
                                        " synth 600 sine 220 sine 330 vol 0.5 2>/dev/null";
            if (std::system(command.c_str()) != 0) {
                throw std::runtime_error("sox could not make the benchmark recording");
            }
            std::filesystem::rename(partial, file);
        }
        return file;
    }();
    return path;
}

void loadTenMinutes(benchmark::State& state) {
    const std::string& path = tenMinuteFile();
    std::size_t samples = 0;
    for (auto _ : state) {
        const std::vector<float> audio = rararozuvu::AudioProcessor::loadAudioAsFloatArray(path);
        samples = audio.size();
        benchmark::DoNotOptimize(audio.data());
    }
    state.counters["samples"] = double(samples);
    state.counters["xRealTime"] = benchmark::Counter(durationSeconds * double(state.iterations()),
                                                     benchmark::Counter::kIsRate);
}
BENCHMARK(loadTenMinutes)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same file streamed as a transcription reads it: opened (one decoding pass to count the
// samples), then read window after window of 30 s (a second pass).
void streamTenMinutes(benchmark::State& state) {
    const std::string& path = tenMinuteFile();
    std::int64_t samples = 0;
    std::vector<float> window;
    for (auto _ : state) {
        rararozuvu::FileAudioSource source(
            path, rararozuvu::AudioInputConfig::ChannelMode::sumChannels());
        samples = source.sampleCount();
        for (std::int64_t start = 0; start < samples; start += 480000) {
            source.read(start, 480000, window);
            benchmark::DoNotOptimize(window.data());
        }
    }
    state.counters["samples"] = double(samples);
    state.counters["xRealTime"] = benchmark::Counter(durationSeconds * double(state.iterations()),
                                                     benchmark::Counter::kIsRate);
}
BENCHMARK(streamTenMinutes)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
