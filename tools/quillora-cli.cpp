// quillora-cli: transcribes audio files with a Whisper model on the CPU.
//
//   quillora-cli --model-path <model folder> [options] <audio file>...
//   quillora-cli --model <name> [options] <audio file>...
//   quillora-cli convert <checkpoint folder> <model folder>
//
// The text of each file goes to standard output; progress, timings and diagnostics go to
// standard error. Run with --help for the options.
//
// Exit status: 0 when every file was transcribed and every output written; 1 when a file, the
// model, an output file or standard output failed (each failure is one line on standard error);
// 2 when the command line itself is wrong, before anything is loaded.

#include <fmt/format.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "hub/HubApi.h"
#include "ml/whisper/CheckpointConversion.h"
#include "ml/whisper/WhisperConverter.h"
#include "rararozuvu/audio/AudioFile.h"
#include "rararozuvu/RararozUvu.h"
#include "rararozuvu/results/ResultWriting.h"
#include "rararozuvu/results/TranscriptionUtilities.h"

namespace {

namespace fs = std::filesystem;
using rararozuvu::DecodingOptions;
using rararozuvu::RararozUvu;

constexpr std::string_view kUsage = R"(usage:
  quillora-cli (--model-path DIR | --model NAME) [options] [--] AUDIO...
  quillora-cli convert CHECKPOINT_DIR MODEL_DIR

Transcribes each audio file and prints its text (nothing for a file without speech).

Model:
  --model-path DIR        a model folder (as made by "convert")
  --model NAME            a model of the hub repository, e.g. tiny.en; downloaded once
  --model-repo REPO       the hub repository (default vevidoinc/rararozuvu-coreml)
  --download-base DIR     where downloads are kept (default: the hub client's folder)
  --endpoint URL          the hub (default: HUB_ENDPOINT, else the built-in one)

Decoding:
  --language CODE         spoken language (multilingual models)
  --task transcribe|translate
  --temperature T         first temperature, 0 or more (default 0)
  --fallback-count N      retries at higher temperatures, 0 or more (default 5)
  --sample-length N       most tokens per 30 s window, 1 or more (default 224)
  --without-timestamps    decode without timestamp tokens (one segment per window)
  --prompt TEXT           text the speech continues, e.g. names and spellings to prefer
  --word-timestamps       time every word
  --chunking vad|none     cut long audio at silences and transcribe the pieces in parallel
  --workers N             most pieces transcribed at once; 0 for all (default 16)

Output:
  --output-format LIST    any of txt, srt, vtt, json, separated by commas; files are named after
                          the audio file (default: none, the text is printed)
  --output-dir DIR        where the files go, created when missing (default .)
  --keep-special-tokens   keep the decoder's special tokens (<|0.00|> ...) in the segment texts
                          of the srt, vtt and json files
  --timings               print the timing report of each file on standard error
  --verbose               the library's debug log on standard error
  -h, --help              this text
  --                      ends the options: every later argument is an audio file

Exit status: 0 success; 1 a file, the model, an output file or standard output failed;
2 the command line is wrong.
)";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Standard output could not take the text: the transcript is lost, so the run has failed.
struct OutputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Writes all of `text` to standard output. Unbuffered, so that a full disk or a closed pipe is
// seen at the write that hit it, with its own errno.
void printOut(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            throw OutputError(
                fmt::format("cannot write to standard output: {}", std::strerror(errno)));
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

// Some files report a failed write only when they are closed.
void closeOut() {
    if (::close(STDOUT_FILENO) != 0 && errno != EBADF && errno != EINTR) {
        throw OutputError(fmt::format("cannot write to standard output: {}", std::strerror(errno)));
    }
}

struct Arguments {
    std::optional<std::string> modelPath;
    std::optional<std::string> model;
    std::optional<std::string> modelRepo;
    std::optional<std::string> downloadBase;
    std::optional<std::string> endpoint;
    DecodingOptions::Parameters decoding;
    std::optional<std::string> prompt;
    std::set<std::string> formats;
    std::string outputDir = ".";
    bool timings = false;
    bool verbose = false;
    bool help = false;
    std::vector<std::string> audio;
};

template <class Number>
Number parseNumber(std::string_view option, std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        throw UsageError(fmt::format("{} needs {}, not \"{}\"", option,
                                     std::is_integral_v<Number> ? "a whole number" : "a number",
                                     text));
    }
    return value;
}

template <class Number>
Number parseAtLeast(std::string_view option, std::string_view text, Number least) {
    const Number value = parseNumber<Number>(option, text);
    if (!(value >= least) || !std::isfinite(static_cast<double>(value))) {
        throw UsageError(
            fmt::format("{} must be a number of at least {}, not \"{}\"", option, least, text));
    }
    return value;
}

Arguments parseArguments(const std::vector<std::string_view>& args) {
    Arguments a;
    a.decoding.skipSpecialTokens = true;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= args.size())
                throw UsageError(fmt::format("{} needs a value", arg));
            return std::string(args[++i]);
        };
        if (optionsEnded || arg.size() < 2 || !arg.starts_with("-")) {
            a.audio.emplace_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            a.help = true;
        } else if (arg == "--model-path") {
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
            a.decoding.temperature = parseAtLeast<float>(arg, value(), 0.0f);
        } else if (arg == "--fallback-count") {
            a.decoding.temperatureFallbackCount = parseAtLeast<std::int64_t>(arg, value(), 0);
        } else if (arg == "--sample-length") {
            a.decoding.sampleLength = parseAtLeast<std::int64_t>(arg, value(), 1);
        } else if (arg == "--without-timestamps") {
            a.decoding.withoutTimestamps = true;
        } else if (arg == "--prompt") {
            a.prompt = value();
        } else if (arg == "--word-timestamps") {
            a.decoding.wordTimestamps = true;
        } else if (arg == "--chunking") {
            const std::optional<rararozuvu::ChunkingStrategy> strategy =
                rararozuvu::chunkingStrategyFromRawValue(value());
            if (!strategy)
                throw UsageError("--chunking is vad or none");
            a.decoding.chunkingStrategy = strategy;
        } else if (arg == "--workers") {
            a.decoding.concurrentWorkerCount = parseAtLeast<std::int64_t>(arg, value(), 0);
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
            if (a.outputDir.empty())
                throw UsageError("--output-dir needs a folder");
        } else if (arg == "--keep-special-tokens") {
            a.decoding.skipSpecialTokens = false;
        } else if (arg == "--timings") {
            a.timings = true;
        } else if (arg == "--verbose") {
            a.verbose = true;
        } else {
            throw UsageError(fmt::format("unknown option {}", arg));
        }
    }
    if (a.help)
        return a;
    if (a.modelPath.has_value() == a.model.has_value()) {
        throw UsageError("give either --model-path or --model");
    }
    if (a.audio.empty())
        throw UsageError("no audio file given");
    // Output files are named after the audio file, so two inputs of one name would overwrite
    // each other's transcripts.
    if (!a.formats.empty()) {
        std::map<std::string, const std::string*> byStem;
        for (const std::string& file : a.audio) {
            const auto [seen, fresh] = byStem.emplace(fs::path(file).stem().string(), &file);
            if (!fresh) {
                throw UsageError(fmt::format(
                    "{} and {} would both be written as {}.*; give them different names",
                    *seen->second, file, seen->first));
            }
        }
    }
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

// Refuses, before the model is loaded, inputs that cannot be audio files at all. One line each.
bool checkInputs(const std::vector<std::string>& audio) {
    bool usable = true;
    for (const std::string& file : audio) {
        std::error_code error;
        const fs::file_status status = fs::status(file, error);
        if (error || !fs::exists(status)) {
            fmt::print(stderr, "quillora-cli: {}: {}\n", file,
                       error ? error.message() : std::strerror(ENOENT));
            usable = false;
        } else if (!fs::is_regular_file(status)) {
            fmt::print(stderr, "quillora-cli: {}: not a regular file\n", file);
            usable = false;
        }
    }
    return usable;
}

// Leading and trailing white space only, as a text printed for silence would be.
bool isBlank(std::string_view text) {
    return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

int transcribe(const Arguments& a) {
    if (!checkInputs(a.audio))
        return 1;
    if (!a.formats.empty()) {
        std::error_code error;
        fs::create_directories(a.outputDir, error);
        if (!error && !fs::is_directory(a.outputDir, error))
            error = std::make_error_code(std::errc::not_a_directory);
        if (error) {
            fmt::print(stderr, "quillora-cli: cannot use {} as the output folder: {}\n",
                       a.outputDir, error.message());
            return 1;
        }
    }

    rararozuvu::RararozUvuConfig config{
        .verbose = a.verbose, .logLevel = vevidocore::Logging::LogLevel::debug, .download = false};
    if (a.modelPath) {
        if (!fs::is_directory(*a.modelPath)) {
            fmt::print(stderr, "quillora-cli: no model folder at {}\n", *a.modelPath);
            return 1;
        }
        config.modelFolder = *a.modelPath;
    } else {
        // Downloaded here rather than inside the facade, so that the download can show progress.
        const char* fromEnvironment = std::getenv("HUB_ENDPOINT");
        const std::string endpoint = a.endpoint                   ? *a.endpoint
                                     : fromEnvironment != nullptr ? std::string(fromEnvironment)
                                                                  : hub::HubApi::defaultEndpoint();
        const std::optional<fs::path> downloadBase =
            a.downloadBase ? std::optional<fs::path>(*a.downloadBase) : std::nullopt;
        const fs::path folder = RararozUvu::download(
            *a.model, downloadBase, false, a.modelRepo.value_or(RararozUvu::defaultModelRepo),
            std::nullopt, endpoint, drawProgress);
        // A repository may publish a standard checkpoint instead of model folders: it is
        // converted once, beside the download cache's own files.
        const fs::path cacheRoot =
            hub::HubApi(hub::HubApi::Options{.downloadBase = downloadBase, .endpoint = endpoint})
                .downloadBase();
        const std::optional<fs::path> modelFolder = ml::modelFolderFromDownload(folder, cacheRoot);
        if (!modelFolder) {
            fmt::print(stderr,
                       "quillora-cli: {} holds neither model bundles (TextDecoder.mlmodelc) nor a "
                       "checkpoint (config.json and model.safetensors)\n",
                       folder.string());
            return 1;
        }
        config.modelFolder = modelFolder->string();
    }
    // The decoding libraries and the ones they pull in load beside the model rather than after
    // it.
    std::jthread prepareDecoding(rararozuvu::AudioFile::prepareDecoding, std::cref(a.audio));
    std::unique_ptr<RararozUvu> facade;
    try {
        facade = RararozUvu::create(config);
    } catch (const std::exception& e) {
        const fs::path folder(*config.modelFolder);
        if (fs::exists(folder / "model.safetensors") && fs::exists(folder / "config.json")) {
            fmt::print(stderr,
                       "quillora-cli: {} is a checkpoint, not a model folder; make one from it "
                       "with \"quillora-cli convert {} MODEL_DIR\"\n",
                       folder.string(), folder.string());
        } else {
            fmt::print(stderr, "quillora-cli: cannot load the model in {}: {}\n", folder.string(),
                       e.what());
        }
        return 1;
    }

    DecodingOptions::Parameters parameters = a.decoding;
    if (a.prompt && !a.prompt->empty()) {
        const auto tokenizer = facade->tokenizer();
        if (!tokenizer) {
            fmt::print(stderr, "quillora-cli: the model in {} has no tokenizer for --prompt\n",
                       *config.modelFolder);
            return 1;
        }
        const std::int64_t specialBegin = tokenizer->specialTokens().specialTokenBegin;
        std::vector<std::int64_t> tokens;
        // Words inside a transcript follow a blank, as the prompt's first word does here.
        for (std::int64_t token : tokenizer->encode(" " + *a.prompt)) {
            if (token < specialBegin)
                tokens.push_back(token);
        }
        parameters.promptTokens = std::move(tokens);
    }
    const DecodingOptions options(parameters);
    const std::vector<rararozuvu::TranscriptionOutcome> outcomes =
        facade->transcribeWithResults(a.audio, options);
    int failures = 0;
    std::optional<std::string> outputFailure;
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
                    const std::string text = isBlank(result->text()) ? "" : result->text() + "\n";
                    rararozuvu::resultwriting::writeAtomically(
                        (fs::path(a.outputDir) / (stem + ".txt")).string(), text);
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
        // After a failed write standard output takes nothing more, but the files still are
        // written.
        if (!outputFailure && !isBlank(result->text())) {
            try {
                printOut(fmt::format("{}{}\n", a.audio.size() > 1 ? file + ": " : std::string(),
                                     result->text()));
            } catch (const OutputError& e) {
                outputFailure = e.what();
            }
        }
        if (a.timings)
            printTimings(file, result->timings(), facade->currentTimings());
    }
    if (!outputFailure) {
        try {
            closeOut();
        } catch (const OutputError& e) {
            outputFailure = e.what();
        }
    }
    if (outputFailure) {
        fmt::print(stderr, "quillora-cli: {}\n", *outputFailure);
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that went away is reported as a failed write, not by a silent death.
    ::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    try {
        if (args.empty()) {
            fmt::print(stderr, "{}", kUsage);
            return 2;
        }
        if (args[0] == "convert") {
            if (args.size() != 3)
                throw UsageError("convert needs a checkpoint folder and a model folder");
            ml::WhisperConverter::convert(fs::path(args[1]), fs::path(args[2]));
            fmt::print(stderr, "wrote {}\n", args[2]);
            return 0;
        }
        const Arguments arguments = parseArguments(args);
        if (arguments.help) {
            printOut(kUsage);
            closeOut();
            return 0;
        }
        return transcribe(arguments);
    } catch (const UsageError& e) {
        fmt::print(stderr, "quillora-cli: {} (see quillora-cli --help)\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        fmt::print(stderr, "quillora-cli: {}\n", e.what());
        return 1;
    }
}
