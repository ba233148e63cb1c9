// Speed of the runtime around the kernels: the tensor operations the token sampler runs once per
// generated token on a vocabulary-sized row, and the checks a prediction makes of its inputs.

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "ml/Model.h"
#include "ml/ModelBundle.h"
#include "ml/MultiArray.h"
#include "ml/Program.h"
#include "ml/Tensor.h"

namespace {

constexpr std::int64_t kVocabulary = 51864;

ml::MultiArray randomLogits() {
    std::mt19937 gen(3);
    std::normal_distribution<float> d(0.0f, 2.0f);
    ml::MultiArray logits({1, 1, kVocabulary}, ml::MultiArrayDataType::float16);
    for (ml::Float16& v : logits.span<ml::Float16>())
        v = ml::Float16(d(gen));
    return logits;
}

// Greedy pick at temperature 0: arg-max and the log of its probability.
void BM_GreedyPick(benchmark::State& state) {
    const ml::MultiArray logits = randomLogits();
    for (auto _ : state) {
        const ml::Tensor t = ml::Tensor(logits).cast(ml::MultiArrayDataType::float32);
        const ml::Tensor token = t.argmax();
        const float logProb = t.softmax().gathering(token, -1).log().asFloatArray()[0];
        benchmark::DoNotOptimize(logProb);
    }
}
BENCHMARK(BM_GreedyPick);

// A draw among the top 5 at a temperature above 0.
void BM_TopKPick(benchmark::State& state) {
    const ml::MultiArray logits = randomLogits();
    for (auto _ : state) {
        const ml::Tensor probs =
            (ml::Tensor(logits).cast(ml::MultiArrayDataType::float32) / 0.4f).softmax();
        const auto [values, indices] = probs.topK(5);
        const ml::Tensor cumulative = values.cumulativeSum();
        const ml::Tensor pick = (cumulative + cumulative.lessThan(values.sum(-1) * 0.5f) * 100.0f)
                                    .argsort()
                                    .slice(-1, 0, 1);
        benchmark::DoNotOptimize(indices.gathering(pick.reshaped({1, 1}), 2).asIntArray());
    }
}
BENCHMARK(BM_TopKPick);

void BM_LogSoftmaxHalfRow(benchmark::State& state) {
    const ml::Tensor logits(randomLogits());
    for (auto _ : state)
        benchmark::DoNotOptimize(logits.logSoftmax());
}
BENCHMARK(BM_LogSoftmaxHalfRow);

class Echo : public ml::Program {
public:
    ml::DictionaryFeatureProvider predict(const ml::FeatureProvider& in) const override {
        ml::DictionaryFeatureProvider out;
        out.set("y", input(in, "x"));
        return out;
    }
};

// What a prediction costs beyond its program: checking seven decoder-sized inputs and the output.
void BM_PredictionChecks(benchmark::State& state) {
    const auto folder = std::filesystem::temp_directory_path() / "quillora-bench-echo.mlmodelc";
    std::filesystem::create_directories(folder);
    ml::ModelBundle bundle;
    bundle.program = "Echo";
    const auto f16 = ml::MultiArrayDataType::float16;
    ml::DictionaryFeatureProvider in;
    for (const char* name : {"x", "a", "b", "c", "d", "e", "f"}) {
        bundle.description.inputs.push_back(ml::multiArrayFeature(name, f16, {1, 1536, 1, 224}));
        in.set(name, ml::MultiArray({1, 1536, 1, 224}, f16));
    }
    bundle.description.outputs = {ml::multiArrayFeature("y", f16, {1, 1536, 1, 224})};
    bundle.write(folder);
    ml::ProgramRegistry::shared().add(
        "Echo", [](const ml::ProgramContext&) { return std::make_unique<Echo>(); });
    const auto model = ml::Model::load(folder);
    for (auto _ : state)
        benchmark::DoNotOptimize(model->predict(in));
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_PredictionChecks);

}  // namespace

BENCHMARK_MAIN();
