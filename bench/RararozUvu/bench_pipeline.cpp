// End-to-end transcription through the speech facade with the tiny model's shapes, warm (models
// loaded, one untimed run first): a 5 s and a 60 s clip of speech.
//
// "Speech" runs the model trained on synthetic speech over a 5 s recording it understands: the
// warm library path from samples in memory to text, with the default options, where a window
// ends after a dozen or so tokens as it would for real dictation. Its counters add the cost of one
// decoder step inside the loop (step_ms: the decoding loop less the encoder and mel, per step) and
// the process's peak resident memory.
//
// The weights are random, so every window decodes nonsense: with the default options a window
// runs until the end token or the token limit and is usually retried at every fallback
// temperature. "Greedy" runs the same clips with no fallback, the cost of one decode per window.
//
// Counters: xRealTime (seconds of audio per second of wall time) and the stage breakdown of the
// result's timings in milliseconds per run: mel, encoder, decoding loop, decoder predictions, and
// the number of decoder steps and fallbacks.

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "ml/whisper/WhisperConverter.h"
#include "rararozuvu/RararozUvu.h"
#include "rararozuvu/audio/AudioProcessor.h"

namespace {

// Adds one transcription's stage times to `sum`; the decoding loop without the stages inside it.
void addStageTimings(rararozuvu::TranscriptionTimings& sum,
                     const rararozuvu::TranscriptionTimings& t) {
    sum.logmels += t.logmels;
    sum.encoding += t.encoding;
    sum.decodingLoop += t.decodingLoop - t.logmels - t.encoding - t.audioProcessing;
    sum.decodingPredictions += t.decodingPredictions;
    sum.totalDecodingLoops += t.totalDecodingLoops;
    sum.totalDecodingFallbacks += t.totalDecodingFallbacks;
    sum.totalEncodingRuns += t.totalEncodingRuns;
}

namespace fs = std::filesystem;
const fs::path kShared = QUILLORA_SHARED_DIR;

// The converted tiny model in a folder of this run, removed at exit.
class ModelFolder {
public:
    explicit ModelFolder(const char* checkpoint) {
        std::string pattern =
            (fs::temp_directory_path() / "quillora-bench-pipeline-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot make a temporary folder");
        path_ = pattern;
        ml::WhisperConverter::convert(kShared / "models" / checkpoint, path_);
    }
    ~ModelFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::unique_ptr<rararozuvu::RararozUvu> load(const ModelFolder& folder) {
    return rararozuvu::RararozUvu::create(
        rararozuvu::RararozUvuConfig{.modelFolder = folder.path().string(), .verbose = false});
}

rararozuvu::RararozUvu& facade() {
    static const ModelFolder folder("tiny-en-random");
    static const std::unique_ptr<rararozuvu::RararozUvu> loaded = load(folder);
    return *loaded;
}

rararozuvu::RararozUvu& speechFacade() {
    static const ModelFolder folder("tiny-en-synth");
    static const std::unique_ptr<rararozuvu::RararozUvu> loaded = load(folder);
    return *loaded;
}

rusage processUsage() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage;
}

// The JFK sample repeated to the wanted length.
std::vector<float> speech(double seconds) {
    static const std::vector<float> sample = rararozuvu::AudioProcessor::loadAudioAsFloatArray(
        (kShared / "data/audio/jfk_ask-not_16k_mono.wav").string());
    std::vector<float> clip(static_cast<std::size_t>(seconds * 16000.0));
    for (std::size_t i = 0; i < clip.size(); ++i)
        clip[i] = sample[i % sample.size()];
    return clip;
}

void transcribe(benchmark::State& state, bool withFallback) {
    const double seconds = static_cast<double>(state.range(0));
    const std::vector<float> clip = speech(seconds);
    rararozuvu::DecodingOptions::Parameters parameters;
    if (!withFallback)
        parameters.temperatureFallbackCount = 0;
    const rararozuvu::DecodingOptions options(parameters);
    rararozuvu::RararozUvu& pipeline = facade();
    pipeline.transcribe(clip, options);  // warm-up

    rararozuvu::TranscriptionTimings sum;
    for (auto _ : state) {
        const rararozuvu::TranscriptionResults results = pipeline.transcribe(clip, options);
        addStageTimings(sum, results.front()->timings());
    }
    const auto perRun = [&](double value) {
        return benchmark::Counter(value * 1000.0, benchmark::Counter::kAvgIterations);
    };
    state.counters["xRealTime"] =
        benchmark::Counter(seconds, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["mel_ms"] = perRun(sum.logmels);
    state.counters["encoder_ms"] = perRun(sum.encoding);
    state.counters["decoding_ms"] = perRun(sum.decodingLoop);
    state.counters["predictions_ms"] = perRun(sum.decodingPredictions);
    state.counters["windows"] =
        benchmark::Counter(sum.totalEncodingRuns, benchmark::Counter::kAvgIterations);
    state.counters["steps"] =
        benchmark::Counter(sum.totalDecodingLoops, benchmark::Counter::kAvgIterations);
    state.counters["fallbacks"] =
        benchmark::Counter(sum.totalDecodingFallbacks, benchmark::Counter::kAvgIterations);
}

void Transcribe(benchmark::State& state) {
    transcribe(state, true);
}
void TranscribeGreedy(benchmark::State& state) {
    transcribe(state, false);
}

// A synthetic recording of 4.3 s, padded with silence to 5 s.
void TranscribeSpeech(benchmark::State& state) {
    std::vector<float> clip = rararozuvu::AudioProcessor::loadAudioAsFloatArray(
        (kShared / "data/audio-synth/sample_009.wav").string());
    clip.resize(5 * 16000, 0.0f);
    rararozuvu::RararozUvu& pipeline = speechFacade();
    const rararozuvu::DecodingOptions options;
    pipeline.transcribe(clip, options);  // warm-up

    rararozuvu::TranscriptionTimings sum;
    const long faultsBefore = processUsage().ru_minflt;
    for (auto _ : state) {
        const rararozuvu::TranscriptionResults results = pipeline.transcribe(clip, options);
        addStageTimings(sum, results.front()->timings());
    }
    const rusage after = processUsage();
    const auto perRun = [&](double value) {
        return benchmark::Counter(value * 1000.0, benchmark::Counter::kAvgIterations);
    };
    state.counters["mel_ms"] = perRun(sum.logmels);
    state.counters["encoder_ms"] = perRun(sum.encoding);
    state.counters["decoding_ms"] = perRun(sum.decodingLoop);
    state.counters["steps"] =
        benchmark::Counter(sum.totalDecodingLoops, benchmark::Counter::kAvgIterations);
    state.counters["step_ms"] =
        sum.totalDecodingLoops > 0 ? 1000.0 * sum.decodingLoop / sum.totalDecodingLoops : 0.0;
    state.counters["fallbacks"] =
        benchmark::Counter(sum.totalDecodingFallbacks, benchmark::Counter::kAvgIterations);
    // Pages touched for the first time (fresh buffers) during the timed runs.
    state.counters["page_faults"] = benchmark::Counter(
        static_cast<double>(after.ru_minflt - faultsBefore), benchmark::Counter::kAvgIterations);
    state.counters["peak_rss_MB"] = static_cast<double>(after.ru_maxrss) / 1024.0;
}
BENCHMARK(TranscribeSpeech)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

BENCHMARK(Transcribe)->Arg(5)->Arg(60)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(TranscribeGreedy)
    ->Arg(5)
    ->Arg(60)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
