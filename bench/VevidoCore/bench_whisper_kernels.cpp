// Speed of the Whisper kernels: the mel front end, the encoder (tiny checkpoint and the base and
// small shapes with random weights) against plain SGEMM in the same run, and one decoder step
// against the time to read its weights once from memory.
//
// The SGEMM labels name the kernels OpenBLAS picked: its own choice for the CPU, or the one
// OPENBLAS_CORETYPE in the environment forces (Haswell: the AVX2 kernels, about half the speed of
// the AVX-512 ones on a CPU that has both).

#include <benchmark/benchmark.h>
#include <cblas.h>

#include <algorithm>
#include <barrier>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ml/Float16.h"
#include "ml/Safetensors.h"
#include "ml/whisper/DecoderKernel.h"
#include "ml/whisper/EncoderKernel.h"
#include "ml/whisper/MelKernel.h"
#include "ml/whisper/WhisperHyperParameters.h"

namespace {

namespace fs = std::filesystem;
using ml::whisper::WhisperHyperParameters;

const fs::path kCheckpoint = fs::path(QUILLORA_SHARED_DIR) / "models/tiny-en-random";

// Half-precision weights of the standard tensor names, random but of sensible scale.
class RandomCheckpoint {
public:
    explicit RandomCheckpoint(const WhisperHyperParameters& p) {
        const std::size_t d = p.dModel;
        add("model.encoder.conv1.weight", {d, p.numMelBins, 3});
        add("model.encoder.conv1.bias", {d});
        add("model.encoder.conv2.weight", {d, d, 3});
        add("model.encoder.conv2.bias", {d});
        add("model.encoder.embed_positions.weight", {p.maxSourcePositions, d});
        addNorm("model.encoder.layer_norm", d);
        for (std::size_t l = 0; l < p.encoderLayers; ++l) {
            addBlock("model.encoder.layers." + std::to_string(l) + ".", d, p.encoderFfnDim, false);
        }
        add("model.decoder.embed_tokens.weight", {p.vocabSize, d});
        add("model.decoder.embed_positions.weight", {p.maxTargetPositions, d});
        addNorm("model.decoder.layer_norm", d);
        for (std::size_t l = 0; l < p.decoderLayers; ++l) {
            addBlock("model.decoder.layers." + std::to_string(l) + ".", d, p.decoderFfnDim, true);
        }
    }
    const std::vector<ml::SafetensorsTensor>& tensors() const { return tensors_; }

private:
    void add(const std::string& name, std::vector<std::size_t> shape, float fill = NAN) {
        std::size_t n = 1;
        for (auto s : shape)
            n *= s;
        auto& data = storage_.emplace_back(n);
        std::normal_distribution<float> normal(0.0f, 0.02f);
        for (auto& v : data)
            v = std::isnan(fill) ? normal(rng_) : fill;
        tensors_.push_back({name, ml::SafetensorsDType::F16,
                            std::vector<std::int64_t>(shape.begin(), shape.end()),
                            std::as_bytes(std::span<const ml::Float16>(data))});
    }
    void addNorm(const std::string& prefix, std::size_t d) {
        add(prefix + ".weight", {d}, 1.0f);
        add(prefix + ".bias", {d}, 0.0f);
    }
    void addAttention(const std::string& prefix, std::size_t d) {
        for (const char* proj : {"q_proj", "k_proj", "v_proj", "out_proj"}) {
            add(prefix + proj + ".weight", {d, d});
            if (std::string(proj) != "k_proj")
                add(prefix + proj + ".bias", {d});
        }
    }
    void addBlock(const std::string& prefix, std::size_t d, std::size_t ffn, bool decoder) {
        addNorm(prefix + "self_attn_layer_norm", d);
        addAttention(prefix + "self_attn.", d);
        if (decoder) {
            addNorm(prefix + "encoder_attn_layer_norm", d);
            addAttention(prefix + "encoder_attn.", d);
        }
        addNorm(prefix + "final_layer_norm", d);
        add(prefix + "fc1.weight", {ffn, d});
        add(prefix + "fc1.bias", {ffn});
        add(prefix + "fc2.weight", {d, ffn});
        add(prefix + "fc2.bias", {d});
    }

    std::mt19937 rng_{1234};
    std::vector<std::vector<ml::Float16>> storage_;
    std::vector<ml::SafetensorsTensor> tensors_;
};

WhisperHyperParameters shape(std::size_t d, std::size_t layers, std::size_t heads) {
    WhisperHyperParameters p;
    p.dModel = d;
    p.encoderLayers = p.decoderLayers = layers;
    p.encoderAttentionHeads = p.decoderAttentionHeads = heads;
    p.encoderFfnDim = p.decoderFfnDim = 4 * d;
    p.alignmentHeads = {{layers / 2, 0}, {layers - 1, heads - 1}};
    return p;
}

// Model 0 is the tiny checkpoint (real file); 1 and 2 are the base and small shapes.
struct Model {
    std::string name;
    WhisperHyperParameters params;
    std::unique_ptr<ml::SafetensorsFile> file;
    std::unique_ptr<RandomCheckpoint> random;
    std::span<const ml::SafetensorsTensor> tensors() const {
        return file ? std::span<const ml::SafetensorsTensor>(file->tensors())
                    : std::span<const ml::SafetensorsTensor>(random->tensors());
    }
};

const Model& model(std::int64_t index) {
    static std::map<std::int64_t, Model> models;
    auto it = models.find(index);
    if (it != models.end())
        return it->second;
    Model m;
    if (index == 0) {
        m.name = "tiny";
        m.params = WhisperHyperParameters::fromCheckpoint(kCheckpoint);
        m.file = std::make_unique<ml::SafetensorsFile>(kCheckpoint / "model.safetensors");
    } else {
        m.name = index == 1 ? "base" : "small";
        m.params = index == 1 ? shape(512, 6, 8) : shape(768, 12, 12);
        m.random = std::make_unique<RandomCheckpoint>(m.params);
    }
    return models.emplace(index, std::move(m)).first->second;
}

std::vector<float> testTone() {
    std::vector<float> audio(ml::whisper::MelKernel::kWindowSamples);
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 0.01f);
    for (std::size_t i = 0; i < audio.size(); ++i) {
        audio[i] =
            0.3f * std::sin(2.0f * std::numbers::pi_v<float> * 440.0f * float(i) / 16000.0f) +
            noise(rng);
    }
    return audio;
}

void BM_Mel(benchmark::State& state) {
    const ml::whisper::MelKernel mel(80);
    const auto audio = testTone();
    std::vector<float> out(80 * 3000);
    for (auto _ : state) {
        mel.compute(audio, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_Mel)->Unit(benchmark::kMillisecond)->UseRealTime();

// Plain SGEMM at the encoder's feed-forward shape of each model, 1500 × 4d × d, on BLAS's own
// threads, one per hardware thread: the machine's figure for the kernels' BLAS.
void BM_Sgemm(benchmark::State& state) {
    const Model& m = model(state.range(0));
    const auto M = static_cast<blasint>(m.params.maxSourcePositions);
    const auto N = static_cast<blasint>(m.params.encoderFfnDim);
    const auto K = static_cast<blasint>(m.params.dModel);
    std::vector<float> a(std::size_t(M) * K, 0.5f), b(std::size_t(N) * K, 0.25f),
        c(std::size_t(M) * N);
    // The kernels keep BLAS single-threaded; this measures it with all of its threads.
    openblas_set_num_threads(static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
    for (auto _ : state) {
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, M, N, K, 1.0f, a.data(), K, b.data(),
                    K, 0.0f, c.data(), N);
        benchmark::DoNotOptimize(c.data());
    }
    state.SetLabel(m.name + " " + openblas_get_corename());
    state.counters["GFLOP/s"] = benchmark::Counter(
        2.0 * M * N * K * 1e-9 * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Sgemm)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

// One tile of the encoder's products on one thread, as the worker pool runs them (96 rows of
// activations times 384 weight rows, inner size range(0)), timed by the thread's CPU time: a
// per-core figure that other load on the machine hardly changes.
void BM_SgemmTile(benchmark::State& state) {
    const blasint M = 96, N = 384, K = static_cast<blasint>(state.range(0));
    std::vector<float> a(std::size_t(M) * K, 0.5f), b(std::size_t(N) * K, 0.25f),
        c(std::size_t(M) * N);
    openblas_set_num_threads(1);
    for (auto _ : state) {
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, M, N, K, 1.0f, a.data(), K, b.data(),
                    K, 0.0f, c.data(), N);
        benchmark::DoNotOptimize(c.data());
    }
    state.SetLabel(openblas_get_corename());
    state.counters["GFLOP/s"] = benchmark::Counter(
        2.0 * M * N * K * 1e-9 * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SgemmTile)->Arg(384)->Arg(1536)->Unit(benchmark::kMicrosecond);

void BM_Encoder(benchmark::State& state) {
    const Model& m = model(state.range(0));
    const ml::whisper::EncoderKernel encoder(m.params, m.tensors());
    const ml::whisper::MelKernel melKernel(m.params.numMelBins);
    std::vector<float> mel(m.params.numMelBins * 3000);
    melKernel.compute(testTone(), mel);
    std::vector<ml::Float16> out(m.params.dModel * 1500);
    for (auto _ : state) {
        encoder.encode(mel, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel(m.name);
    state.counters["GFLOP/s"] = benchmark::Counter(
        encoder.flopsPerWindow() * 1e-9 * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Encoder)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

// One decoder step at position range(1) of a window, its earlier slots filled.
void BM_DecoderStep(benchmark::State& state) {
    const Model& m = model(state.range(0));
    const ml::whisper::DecoderKernel decoder(m.params, m.tensors());
    const std::size_t slots = 224, e = decoder.kvCacheEmbedDim();
    const auto position = static_cast<std::size_t>(state.range(1));
    std::mt19937 rng(3);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<ml::Float16> keys(e * slots), values(e * slots), encoder(m.params.dModel * 1500);
    for (auto* v : {&keys, &values, &encoder}) {
        for (auto& x : *v)
            x = normal(rng);
    }
    std::vector<std::int32_t> update(slots, 0);
    update[position] = 1;
    std::vector<ml::Float16> padding(slots, ml::Float16(-10000.0f));
    std::fill_n(padding.begin(), position + 1, ml::Float16(0.0f));
    std::vector<ml::Float16> logits(decoder.vocabularySize()), keyOut(e), valueOut(e),
        alignment(1500);
    const ml::whisper::DecoderStepInputs in{
        50257, static_cast<std::int32_t>(position), keys, values, update, encoder, padding};
    const ml::whisper::DecoderStepOutputs out{logits, keyOut, valueOut, alignment};
    decoder.step(in, out);  // computes the cross-attention keys and values of this encoder output
    for (auto _ : state) {
        decoder.step(in, out);
        benchmark::DoNotOptimize(logits.data());
    }
    state.SetLabel(m.name);
    state.counters["weight MB"] = double(decoder.stepWeightBytes()) / 1e6;
}
BENCHMARK(BM_DecoderStep)
    ->ArgsProduct({{0, 1, 2}, {1, 200}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// Reading a buffer of the decoder step's weight size once, summed on every hardware thread: the
// memory-bound floor of one step.
void BM_ReadDecoderWeights(benchmark::State& state) {
    const Model& m = model(state.range(0));
    const std::size_t bytes = ml::whisper::DecoderKernel(m.params, m.tensors()).stepWeightBytes();
    std::vector<float> buffer(bytes / sizeof(float), 1.0f);
    const std::size_t threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<float> sums(threads);
    bool stop = false;
    std::barrier start(static_cast<std::ptrdiff_t>(threads)),
        done(static_cast<std::ptrdiff_t>(threads));
    const auto part = [&](std::size_t t) {
        const std::size_t b = buffer.size() * t / threads, e = buffer.size() * (t + 1) / threads;
        float a0 = 0, a1 = 0, a2 = 0, a3 = 0;
        std::size_t i = b;
        for (; i + 4 <= e; i += 4) {
            a0 += buffer[i];
            a1 += buffer[i + 1];
            a2 += buffer[i + 2];
            a3 += buffer[i + 3];
        }
        for (; i < e; ++i)
            a0 += buffer[i];
        sums[t] = a0 + a1 + a2 + a3;
    };
    std::vector<std::jthread> workers;
    for (std::size_t t = 1; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (;;) {
                start.arrive_and_wait();
                if (stop)
                    return;
                part(t);
                done.arrive_and_wait();
            }
        });
    }
    for (auto _ : state) {
        start.arrive_and_wait();
        part(0);
        done.arrive_and_wait();
        benchmark::DoNotOptimize(sums.data());
    }
    stop = true;
    start.arrive_and_wait();
    state.SetLabel(m.name);
    state.SetBytesProcessed(std::int64_t(bytes) * std::int64_t(state.iterations()));
}
BENCHMARK(BM_ReadDecoderWeights)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
