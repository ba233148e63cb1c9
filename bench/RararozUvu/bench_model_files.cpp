// What a user waits for before the first dictation, and what the model costs in memory:
// converting a downloaded checkpoint (once), loading a converted model (at every start of the
// application, at every call of the command-line front end), and the peak resident memory of a
// process that loads a model and transcribes the shared clips.
//
// The fresh-process figures run this program again as a child ("--child <model folder>
// [audio...]"), so that they include what a new process pays: mapping the files, first touches,
// building the tokenizer. The files are in the page cache (warm); the child reports its own load
// time and its peak resident set.
//
// Only the tiny checkpoints are shared; base- and small-shaped checkpoints with random weights
// (and the tiny tokenizer) are made once in the temporary folder for the load figures. Counters:
//   load_ms        facade creation with loading, inside the child (models and tokenizer)
//   stages_ms      of which the encoder's and decoder's loads; tokenizer_ms the tokenizer's
//   process_ms     start to exit of the child (with the dynamic loader's share)
//   read_ms        reading the bundle's weight files once with read() (page cache)
//   load_per_read  load_ms / read_ms; stages_per_read stages_ms / read_ms
//   peak_rss_MB    the child's peak resident set (VmHWM); weights_MB the weight bytes

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ml/Float16.h"
#include "ml/Safetensors.h"
#include "ml/whisper/WhisperConverter.h"
#include "rararozuvu/RararozUvu.h"
#include "vevidocore/Stopwatch.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const fs::path kShared = QUILLORA_SHARED_DIR;
const fs::path kCheckpoint = kShared / "models" / "tiny-en-synth";

fs::path scratch(const std::string& name) {
    return fs::temp_directory_path() / ("quillora-bench-" + name);
}

// --- Checkpoints --------------------------------------------------------------------------

struct Shape {
    const char* name;
    std::int64_t width, layers, heads, ffn;
};
constexpr Shape kTiny{"tiny", 384, 4, 6, 1536};
constexpr Shape kBase{"base", 512, 6, 8, 2048};
constexpr Shape kSmall{"small", 768, 12, 12, 3072};

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A checkpoint of the tiny one's tensors scaled to `shape`: every layer follows layer 0, a
// dimension of the tiny width or feed-forward size takes the new one, the values are random
// half-precision numbers of a weight's usual size. Tokenizer and generation settings are the
// tiny ones.
void makeCheckpoint(const Shape& shape, const fs::path& folder) {
    fs::create_directories(folder);
    const ml::SafetensorsFile tiny(kCheckpoint / "model.safetensors");
    ml::SafetensorsWriter writer;
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    const auto scaled = [&](std::vector<std::int64_t> dims) {
        for (std::int64_t& d : dims) {
            if (d == kTiny.width)
                d = shape.width;
            else if (d == kTiny.ffn)
                d = shape.ffn;
        }
        return dims;
    };
    const auto add = [&](const std::string& name, const std::vector<std::int64_t>& dims) {
        std::size_t n = 1;
        for (std::int64_t d : dims)
            n *= static_cast<std::size_t>(d);
        std::vector<float> values(n);
        for (float& v : values) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            v = (static_cast<float>(state >> 40) / static_cast<float>(1 << 24) - 0.5f) * 0.1f;
        }
        std::vector<ml::Float16> halves(n);
        ml::convertToFloat16(values.data(), halves.data(), n);
        const auto bytes = std::as_bytes(std::span(halves));
        writer.add(name, ml::SafetensorsDType::F16, dims,
                   std::vector<std::byte>(bytes.begin(), bytes.end()));
    };
    for (const ml::SafetensorsTensor& t : tiny.tensors()) {
        const std::size_t at = t.name.find(".layers.");
        if (at == std::string::npos) {
            add(t.name, scaled(t.shape));
            continue;
        }
        const std::size_t rest = t.name.find('.', at + 8);
        if (t.name.compare(at + 8, rest - at - 8, "0") != 0)
            continue;
        for (std::int64_t l = 0; l < shape.layers; ++l) {
            add(t.name.substr(0, at + 8) + std::to_string(l) + t.name.substr(rest),
                scaled(t.shape));
        }
    }
    writer.write(folder / "model.safetensors");

    std::string config = readText(kCheckpoint / "config.json");
    const auto set = [&](const std::string& key, std::int64_t value) {
        const std::string quoted = "\"" + key + "\"";
        std::size_t at = config.find(quoted);
        if (at == std::string::npos)
            throw std::runtime_error("config.json has no " + key);
        at = config.find(':', at) + 1;
        const std::size_t end = config.find_first_of(",}", at);
        config.replace(at, end - at, " " + std::to_string(value));
    };
    set("d_model", shape.width);
    set("encoder_layers", shape.layers);
    set("decoder_layers", shape.layers);
    set("num_hidden_layers", shape.layers);
    set("encoder_attention_heads", shape.heads);
    set("decoder_attention_heads", shape.heads);
    set("encoder_ffn_dim", shape.ffn);
    set("decoder_ffn_dim", shape.ffn);
    std::ofstream(folder / "config.json", std::ios::binary) << config;
    for (const char* name : {"generation_config.json", "preprocessor_config.json", "tokenizer.json",
                             "tokenizer_config.json"}) {
        fs::copy_file(kCheckpoint / name, folder / name, fs::copy_options::overwrite_existing);
    }
}

// The converted model of a shape, made on first use and kept between runs.
fs::path modelFolder(const Shape& shape) {
    const fs::path model = scratch(std::string("model-") + shape.name);
    if (fs::exists(model / "TextDecoder.mlmodelc"))
        return model;
    fs::path checkpoint = kCheckpoint;
    if (shape.width != kTiny.width) {
        checkpoint = scratch(std::string("checkpoint-") + shape.name);
        makeCheckpoint(shape, checkpoint);
    }
    ml::WhisperConverter::convert(checkpoint, model);
    if (checkpoint != kCheckpoint)
        fs::remove_all(checkpoint);
    return model;
}

std::vector<fs::path> weightFiles(const fs::path& model) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(model)) {
        if (entry.path().extension() == ".safetensors")
            files.push_back(entry.path());
    }
    return files;
}

// Seconds to read the files once, chunk by chunk into one reused buffer: the least a load that
// copies the weights out would cost (from the page cache after the first pass).
double readOnce(const std::vector<fs::path>& files, double& bytes) {
    static std::vector<char> buffer(std::size_t{4} << 20);
    bytes = 0;
    const vevidocore::Stopwatch stopwatch;
    for (const fs::path& file : files) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw std::runtime_error("cannot open " + file.string());
        for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) {
            benchmark::DoNotOptimize(buffer.data());
            bytes += static_cast<double>(n);
        }
        ::close(fd);
    }
    return stopwatch.seconds();
}

// --- The child ------------------------------------------------------------------------------

struct ChildRun {
    double loadSeconds = 0;       // the whole load
    double stagesSeconds = 0;     // encoder and decoder
    double tokenizerSeconds = 0;  // the tokenizer
    double processSeconds = 0;
    double peakRssBytes = 0;
};

// Runs this program as "--child <model> <fallbacks> <audio...>" and waits for it.
ChildRun runChild(const fs::path& model, const std::vector<std::string>& audio,
                  bool fallbacks = true) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<std::string> args{"/proc/self/exe", "--child", model.string(),
                                  fallbacks ? "1" : "0"};
    args.insert(args.end(), audio.begin(), audio.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const vevidocore::Stopwatch stopwatch;
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error("cannot start the child");
    }
    std::string output;
    char chunk[256];
    for (ssize_t n; (n = ::read(pipeFds[0], chunk, sizeof chunk)) > 0;)
        output.append(chunk, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ChildRun run;
    run.processSeconds = stopwatch.seconds();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("the child failed: " + output);
    std::istringstream fields(output);
    fields >> run.loadSeconds >> run.stagesSeconds >> run.tokenizerSeconds >> run.peakRssBytes;
    return run;
}

int childMain(int argc, char** argv) {
    try {
        const vevidocore::Stopwatch stopwatch;
        auto facade = rararozuvu::RararozUvu::create(
            rararozuvu::RararozUvuConfig{.modelFolder = argv[2], .verbose = false, .load = true});
        const double load = stopwatch.seconds();
        rararozuvu::DecodingOptions::Parameters parameters;
        if (std::string_view(argv[3]) == "0")
            parameters.temperatureFallbackCount = 0;
        const rararozuvu::DecodingOptions options(parameters);
        const rararozuvu::TranscriptionTimings t = facade->currentTimings();
        for (int i = 4; i < argc; ++i)
            benchmark::DoNotOptimize(facade->transcribe(std::string(argv[i]), options));
        // The peak of this process's own memory: the resource usage a parent reads counts the
        // parent's memory too, from before the program was replaced.
        double peakKB = 0;
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("VmHWM:"))
                peakKB = std::strtod(line.c_str() + 6, nullptr);
        }
        std::printf("%.9f %.9f %.9f %.0f\n", load, t.encoderLoadTime + t.decoderLoadTime,
                    t.tokenizerLoadTime, peakKB * 1024.0);
        return 0;
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        return 1;
    }
}

std::vector<std::string> sharedClips() {
    std::vector<std::string> clips;
    for (const fs::path& folder : {kShared / "data" / "audio-synth", kShared / "data" / "audio"}) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            const std::string ext = entry.path().extension().string();
            if (ext == ".wav" || ext == ".flac")
                clips.push_back(entry.path().string());
        }
    }
    std::sort(clips.begin(), clips.end());
    return clips;
}

const Shape& shapeOf(std::int64_t index) {
    static constexpr Shape shapes[] = {kTiny, kBase, kSmall};
    return shapes[index];
}

// --- Benchmarks -------------------------------------------------------------------------------

void BM_ConvertTinyCheckpoint(benchmark::State& state) {
    const fs::path out = scratch("convert");
    for (auto _ : state) {
        fs::remove_all(out);
        ml::WhisperConverter::convert(kCheckpoint, out);
    }
    fs::remove_all(out);
}
BENCHMARK(BM_ConvertTinyCheckpoint)->Unit(benchmark::kMillisecond)->UseRealTime();

// Model and tokenizer, as the facade loads them, in this process (warm: the allocator and the
// libraries have seen a load before).
void BM_LoadConvertedTinyModel(benchmark::State& state) {
    const fs::path folder = modelFolder(kTiny);
    for (auto _ : state) {
        auto facade = rararozuvu::RararozUvu::create(rararozuvu::RararozUvuConfig{
            .modelFolder = folder.string(), .verbose = false, .load = true});
        benchmark::DoNotOptimize(facade.get());
    }
}
BENCHMARK(BM_LoadConvertedTinyModel)->Unit(benchmark::kMillisecond)->UseRealTime();

// The load of a fresh process, beside one read of the weight files. Goals: tiny ≤ 100 ms;
// base and small ≤ 0.5 × read_ms.
void BM_LoadFreshProcess(benchmark::State& state) {
    const Shape& shape = shapeOf(state.range(0));
    state.SetLabel(shape.name);
    const fs::path folder = modelFolder(shape);
    const std::vector<fs::path> files = weightFiles(folder);
    double bytes = 0;
    readOnce(files, bytes);  // into the page cache
    double load = 0, stages = 0, tokenizer = 0, process = 0, read = 0, rss = 0;
    for (auto _ : state) {
        const ChildRun run = runChild(folder, {});
        load += run.loadSeconds;
        stages += run.stagesSeconds;
        tokenizer += run.tokenizerSeconds;
        process += run.processSeconds;
        rss = std::max(rss, run.peakRssBytes);
        state.PauseTiming();
        read += readOnce(files, bytes);
        state.ResumeTiming();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["load_ms"] = 1e3 * load / n;
    state.counters["process_ms"] = 1e3 * process / n;
    state.counters["read_ms"] = 1e3 * read / n;
    state.counters["stages_ms"] = 1e3 * stages / n;
    state.counters["tokenizer_ms"] = 1e3 * tokenizer / n;
    state.counters["load_per_read"] = load / read;
    state.counters["stages_per_read"] = stages / read;
    state.counters["peak_rss_MB"] = rss / 1e6;
    state.counters["weights_MB"] = bytes / 1e6;
}
BENCHMARK(BM_LoadFreshProcess)
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10);

// Peak resident memory of a process that loads the model and transcribes every shared clip
// (one after the other). Goal: peak_rss_MB ≤ weights_MB + 100 for tiny and base. The tiny
// model here is the trained test model, so its clips decode as they do for a user.
void BM_PeakMemoryTranscribing(benchmark::State& state) {
    const Shape& shape = shapeOf(state.range(0));
    state.SetLabel(shape.name);
    const fs::path folder = modelFolder(shape);
    double bytes = 0;
    readOnce(weightFiles(folder), bytes);
    const std::vector<std::string> clips = sharedClips();
    double rss = 0;
    // Random weights decode nonsense up to the token limit; retrying at higher temperatures would
    // only take longer, not more memory.
    const bool fallbacks = shape.width == kTiny.width;
    for (auto _ : state)
        rss = std::max(rss, runChild(folder, clips, fallbacks).peakRssBytes);
    state.counters["peak_rss_MB"] = rss / 1e6;
    state.counters["weights_MB"] = bytes / 1e6;
    state.counters["budget_MB"] = bytes / 1e6 + 100.0;
    state.counters["clips"] = static_cast<double>(clips.size());
}
BENCHMARK(BM_PeakMemoryTranscribing)
    ->DenseRange(0, 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::string_view(argv[1]) == "--child")
        return childMain(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
