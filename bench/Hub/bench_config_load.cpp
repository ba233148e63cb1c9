// Loading the largest tokenizer description of the shared data into a Config.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "hub/YYJSONParser.h"

namespace {

std::filesystem::path largestTokenizerFile() {
    const char* env = std::getenv("QUILLORA_SHARED_DIR");
    const std::filesystem::path data =
        std::filesystem::path(env != nullptr ? env : QUILLORA_SHARED_DIR) / "data";
    std::filesystem::path largest;
    std::uintmax_t largestSize = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(data)) {
        if (entry.is_regular_file() && entry.path().filename() == "tokenizer.json" &&
            entry.file_size() > largestSize) {
            largest = entry.path();
            largestSize = entry.file_size();
        }
    }
    return largest;
}

void BM_LoadTokenizerJSON(benchmark::State& state) {
    const std::filesystem::path path = largestTokenizerFile();
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string bytes = buffer.str();
    if (bytes.empty()) {
        state.SkipWithError("no tokenizer.json under the shared data folder");
        return;
    }
    state.SetLabel(path.parent_path().filename().string());
    for (auto _ : state) {
        hub::Config config = hub::YYJSONParser::parseToConfig(bytes);
        benchmark::DoNotOptimize(config);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_LoadTokenizerJSON)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
