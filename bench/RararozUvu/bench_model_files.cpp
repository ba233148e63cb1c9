// What a user waits for before the first dictation: converting a downloaded checkpoint (once)
// and loading a converted model (at every start).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "ml/WhisperConverter.h"
#include "rararozuvu/RararozUvu.h"

namespace {

namespace fs = std::filesystem;

const fs::path kCheckpoint = fs::path(QUILLORA_SHARED_DIR) / "models" / "tiny-en-synth";

fs::path scratch(const char* name) {
    return fs::temp_directory_path() / (std::string("quillora-bench-") + name);
}

void BM_ConvertTinyCheckpoint(benchmark::State& state) {
    const fs::path out = scratch("convert");
    for (auto _ : state) {
        fs::remove_all(out);
        ml::WhisperConverter::convert(kCheckpoint, out);
    }
    fs::remove_all(out);
}
BENCHMARK(BM_ConvertTinyCheckpoint)->Unit(benchmark::kMillisecond)->UseRealTime();

// Model and tokenizer, as the facade loads them; the files are in the page cache (warm).
void BM_LoadConvertedTinyModel(benchmark::State& state) {
    const fs::path folder = scratch("load");
    if (!fs::exists(folder / "TextDecoder.mlmodelc"))
        ml::WhisperConverter::convert(kCheckpoint, folder);
    for (auto _ : state) {
        auto facade = rararozuvu::RararozUvu::create(rararozuvu::RararozUvuConfig{
            .modelFolder = folder.string(), .verbose = false, .load = true});
        benchmark::DoNotOptimize(facade.get());
    }
}
BENCHMARK(BM_LoadConvertedTinyModel)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
