// quillora-cli: transcribes audio files with a Whisper model on the CPU.
//
//   quillora-cli --model-path <model folder> [options] <audio file>...
//   quillora-cli --model <name> [options] <audio file>...
//   quillora-cli convert <checkpoint folder> <model folder>
//
// The text of each file goes to standard output; progress, timings and diagnostics go to
// standard error. Run with --help for the options.

#include <fmt/format.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ml/WhisperConverter.h"
#include "rararozuvu/RararozUvu.h"
#include "rararozuvu/ResultWriting.h"
#include "rararozuvu/TranscriptionUtilities.h"

namespace {

namespace fs = std::filesystem;
using rararozuvu::DecodingOptions;
using rararozuvu::RararozUvu;

constexpr std::string_view kUsage = R"(usage:
  quillora-cli (--model-path DIR | --model NAME) [options] AUDIO...
  quillora-cli convert CHECKPOINT_DIR MODEL_DIR

Transcribes each audio file and prints its text.

Model:
  --model-path DIR        a model folder (as made by "convert")
  --model NAME            a model of the hub repository, e.g. tiny.en; downloaded once
  --model-repo REPO       the hub repository (default vevidoinc/rararozuvu-coreml)
  --download-base DIR     where downloads are kept (default: the hub client's folder)
  --endpoint URL          the hub (default: HUB_ENDPOINT, else the built-in one)

Decoding:
  --language CODE         spoken language (multilingual models)
  --task transcribe|translate
  --temperature T         first temperature (default 0)
  --fallback-count N      retries at higher temperatures (default 5)
  --sample-length N       most tokens per 30 s window (default 224)
  --word-timestamps       time every word
  --chunking vad|none     cut long audio at silences and transcribe the pieces in parallel
  --workers N             most pieces or files transcribed at once (default 16)

Output:
  --output-format LIST    any of txt, srt, vtt, json, separated by commas; files are named after
                          the audio file (default: none, the text is printed)
  --output-dir DIR        where the files go (default .)
  --timings               print the timing report of each file on standard error
  --verbose               the library's debug log on standard error
  -h, --help              this text
)";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Arguments {
    std::optional<std::string> modelPath;
    std::optional<std::string> model;
    std::optional<std::string> modelRepo;
    std::optional<std::string> downloadBase;
    std::optional<std::string> endpoint;
    DecodingOptions::Parameters decoding;
    std::set<std::string> formats;
    std::string outputDir = ".";
    bool timings = false;
    bool verbose = false;
    std::vector<std::string> audio;
};

template <class Number>
Number parseNumber(std::string_view option, std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        throw UsageError(fmt::format("{} needs a number, not \"{}\"", option, text));
    }
    return value;
}

Arguments parseArguments(const std::vector<std::string_view>& args) {
    Arguments a;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= args.size())
                throw UsageError(fmt::format("{} needs a value", arg));
            return std::string(args[++i]);
        };
        if (arg == "--model-path") {
            a.modelPath = value();
        } else if (arg == "--model") {
            a.model = value();
        } else if (arg == "--model-repo") {
            a.modelRepo = value();
        } else if (arg == "--download-base") {
            a.downloadBase = value();
        } else if (arg == "--endpoint") {
            a.endpoint = value();
        } else if (arg == "--language") {
            a.decoding.language = value();
        } else if (arg == "--task") {
            const std::string task = value();
            if (task != "transcribe" && task != "translate")
                throw UsageError("--task is transcribe or translate");
            a.decoding.task = task == "translate" ? rararozuvu::DecodingTask::translate
                                                  : rararozuvu::DecodingTask::transcribe;
        } else if (arg == "--temperature") {
            a.decoding.temperature = parseNumber<float>(arg, value());
        } else if (arg == "--fallback-count") {
            a.decoding.temperatureFallbackCount = parseNumber<std::int64_t>(arg, value());
        } else if (arg == "--sample-length") {
            a.decoding.sampleLength = parseNumber<std::int64_t>(arg, value());
        } else if (arg == "--word-timestamps") {
            a.decoding.wordTimestamps = true;
        } else if (arg == "--chunking") {
            const std::optional<rararozuvu::ChunkingStrategy> strategy =
                rararozuvu::chunkingStrategyFromRawValue(value());
            if (!strategy)
                throw UsageError("--chunking is vad or none");
            a.decoding.chunkingStrategy = strategy;
        } else if (arg == "--workers") {
            a.decoding.concurrentWorkerCount = parseNumber<std::int64_t>(arg, value());
        } else if (arg == "--output-format") {
            const std::string list = value();
            for (std::size_t start = 0; start <= list.size();) {
                const std::size_t comma = std::min(list.find(',', start), list.size());
                const std::string format = list.substr(start, comma - start);
                if (format != "txt" && format != "srt" && format != "vtt" && format != "json") {
                    throw UsageError(fmt::format("unknown output format \"{}\"", format));
                }
                a.formats.insert(format);
                start = comma + 1;
            }
        } else if (arg == "--output-dir") {
            a.outputDir = value();
        } else if (arg == "--timings") {
            a.timings = true;
        } else if (arg == "--verbose") {
            a.verbose = true;
        } else if (arg.starts_with("-")) {
            throw UsageError(fmt::format("unknown option {}", arg));
        } else {
            a.audio.emplace_back(arg);
        }
    }
    if (a.modelPath.has_value() == a.model.has_value()) {
        throw UsageError("give either --model-path or --model");
    }
    if (a.audio.empty())
        throw UsageError("no audio file given");
    return a;
}

// A bar on standard error that redraws itself in place.
void drawProgress(const hub::Progress& progress) {
    constexpr int kWidth = 30;
    const double fraction = std::clamp(progress.fractionCompleted(), 0.0, 1.0);
    const int filled = static_cast<int>(fraction * kWidth);
    fmt::print(stderr, "\rDownloading model [{}{}] {}/{} files", std::string(filled, '#'),
               std::string(kWidth - filled, ' '), progress.completedUnitCount(),
               progress.totalUnitCount());
    if (progress.isFinished())
        fmt::print(stderr, "\n");
    std::fflush(stderr);
}

void printTimings(const std::string& file, const rararozuvu::TranscriptionTimings& t,
                  const rararozuvu::TranscriptionTimings& loading) {
    const double total = t.fullPipeline;
    const auto line = [&](std::string_view name, double seconds, double runs) {
        fmt::print(stderr, "  {:<22}{:>10.1f} ms {:>6} runs {:>6.1f}%\n", name, seconds * 1000.0,
                   runs, total > 0 ? 100.0 * seconds / total : 0.0);
    };
    fmt::print(stderr, "Timings for {}\n", file);
    fmt::print(stderr, "  {:<22}{:>10.2f} s\n", "audio", t.inputAudioSeconds);
    fmt::print(stderr, "  {:<22}{:>10.1f} ms\n", "model loading", loading.modelLoading * 1000.0);
    fmt::print(stderr, "  {:<22}{:>10.1f} ms\n", "audio loading", loading.audioLoading * 1000.0);
    line("audio processing", t.audioProcessing, t.totalAudioProcessingRuns);
    line("mel spectrogram", t.logmels, t.totalLogmelRuns);
    line("encoding", t.encoding, t.totalEncodingRuns);
    line("prefill", t.prefill, 1);
    line("decoding loop", t.decodingLoop, t.totalDecodingWindows);
    line("  predictions", t.decodingPredictions, t.totalDecodingLoops);
    line("  filtering", t.decodingFiltering, t.totalDecodingLoops);
    line("  sampling", t.decodingSampling, t.totalDecodingLoops);
    line("  kv caching", t.decodingKvCaching, t.totalKVUpdateRuns);
    line("  fallbacks", t.decodingFallback, t.totalDecodingFallbacks);
    line("  windowing", t.decodingWindowing, t.totalDecodingWindows);
    line("  word timestamps", t.decodingWordTimestamps, t.totalTimestampAlignmentRuns);
    fmt::print(stderr, "  {:<22}{:>10.1f} ms  ({:.2f}x real time, {:.1f} tokens/s)\n",
               "full pipeline", total * 1000.0, t.inputAudioSeconds / std::max(total, 1e-9),
               t.totalDecodingLoops / std::max(total, 1e-9));
}

int transcribe(const Arguments& a) {
    rararozuvu::RararozUvuConfig config{
        .verbose = a.verbose, .logLevel = vevidocore::Logging::LogLevel::debug, .download = false};
    if (a.modelPath) {
        config.modelFolder = *a.modelPath;
    } else {
        // Downloaded here rather than inside the facade, so that the download can show progress.
        const char* fromEnvironment = std::getenv("HUB_ENDPOINT");
        const std::string endpoint = a.endpoint                   ? *a.endpoint
                                     : fromEnvironment != nullptr ? std::string(fromEnvironment)
                                                                  : hub::HubApi::defaultEndpoint();
        const fs::path folder = RararozUvu::download(
            *a.model, a.downloadBase ? std::optional<fs::path>(*a.downloadBase) : std::nullopt,
            false, a.modelRepo.value_or(RararozUvu::defaultModelRepo), std::nullopt, endpoint,
            drawProgress);
        config.modelFolder = folder.string();
    }
    const auto facade = RararozUvu::create(config);

    const DecodingOptions options(a.decoding);
    const std::vector<rararozuvu::TranscriptionOutcome> outcomes =
        facade->transcribeWithResults(a.audio, options);
    int failures = 0;
    for (std::size_t i = 0; i < a.audio.size(); ++i) {
        const std::string& file = a.audio[i];
        if (outcomes[i].isFailure()) {
            fmt::print(stderr, "quillora-cli: {}: {}\n", file, outcomes[i].errorDescription());
            ++failures;
            continue;
        }
        // Chunked audio gives one result per piece; files and timings are of the whole.
        const auto result = rararozuvu::mergeTranscriptionResults(
            {outcomes[i].get().begin(), outcomes[i].get().end()});
        fmt::print("{}{}\n", a.audio.size() > 1 ? file + ": " : std::string(), result->text());

        const std::string stem = fs::path(file).stem().string();
        for (const std::string& format : a.formats) {
            rararozuvu::Result<std::string> written = rararozuvu::Result<std::string>::success("");
            if (format == "srt")
                written = rararozuvu::WriteSRT(a.outputDir).write(*result, stem);
            if (format == "vtt")
                written = rararozuvu::WriteVTT(a.outputDir).write(*result, stem);
            if (format == "json")
                written = rararozuvu::WriteJSON(a.outputDir).write(*result, stem);
            if (format == "txt") {
                try {
                    rararozuvu::resultwriting::writeAtomically(
                        (fs::path(a.outputDir) / (stem + ".txt")).string(), result->text() + "\n");
                } catch (...) {
                    written = rararozuvu::Result<std::string>::currentFailure();
                }
            }
            if (written.isFailure()) {
                fmt::print(stderr, "quillora-cli: cannot write {} of {}: {}\n", format, file,
                           written.errorDescription());
                ++failures;
            }
        }
        if (a.timings)
            printTimings(file, result->timings(), facade->currentTimings());
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    try {
        if (!args.empty() && (args[0] == "-h" || args[0] == "--help")) {
            fmt::print("{}", kUsage);
            return 0;
        }
        if (!args.empty() && args[0] == "convert") {
            if (args.size() != 3)
                throw UsageError("convert needs a checkpoint folder and a model folder");
            ml::WhisperConverter::convert(fs::path(args[1]), fs::path(args[2]));
            fmt::print(stderr, "wrote {}\n", args[2]);
            return 0;
        }
        return transcribe(parseArguments(args));
    } catch (const UsageError& e) {
        fmt::print(stderr, "quillora-cli: {}\n\n{}", e.what(), kUsage);
        return 2;
    } catch (const std::exception& e) {
        fmt::print(stderr, "quillora-cli: {}\n", e.what());
        return 1;
    }
}
