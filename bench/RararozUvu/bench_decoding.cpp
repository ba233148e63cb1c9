// Speed of the decoding loop on the tiny checkpoint: 100 tokens of one window after one encoder
// pass, next to the decoder model's own step and to the per-token work around it (filters and
// sampling).
//
// The checkpoint has random weights, so nothing would stop it where a real model stops: the end
// of text is suppressed by a filter of the decoder's own and the first-token test is off, which
// leaves the sample length to end the window after exactly 100 sampled tokens.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "ml/Model.h"
#include "ml/whisper/WhisperConverter.h"
#include "rararozuvu/audio/AudioProcessor.h"
#include "rararozuvu/decoding/GreedyTokenSampler.h"
#include "rararozuvu/decoding/SuppressTokensFilter.h"
#include "rararozuvu/decoding/TextDecoder.h"
#include "rararozuvu/decoding/TimestampRulesFilter.h"
#include "rararozuvu/models/AudioEncoder.h"
#include "rararozuvu/models/FeatureExtractor.h"
#include "rararozuvu/models/TextDecoderFeatures.h"
#include "rararozuvu/models/WhisperTokenizerWrapper.h"
#include "tokenizers/AutoTokenizer.h"
#include "vevidocore/Stopwatch.h"

namespace {

namespace fs = std::filesystem;

const fs::path kShared = QUILLORA_SHARED_DIR;
constexpr std::int64_t kTokens = 100;

// The converted checkpoint, its decoder and one encoded window of a synthetic sample.
struct Setup {
    fs::path folder;
    std::shared_ptr<rararozuvu::TextDecoder> decoder = std::make_shared<rararozuvu::TextDecoder>();
    std::shared_ptr<rararozuvu::WhisperTokenizerWrapper> tokenizer;
    ml::MultiArray embeds{{1}, ml::MultiArrayDataType::float16};

    Setup() {
        std::string pattern = (fs::temp_directory_path() / "quillora-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        folder = pattern;
        const fs::path checkpoint = kShared / "models/tiny-en-random";
        ml::WhisperConverter::convert(checkpoint, folder);

        tokenizer = std::make_shared<rararozuvu::WhisperTokenizerWrapper>(
            std::shared_ptr<const tokenizers::Tokenizer>(
                tokenizers::AutoTokenizer::from(checkpoint, true)));
        decoder->loadModel(folder / "TextDecoder.mlmodelc", ml::ComputeUnits::all);
        decoder->setTokenizer(tokenizer);
        decoder->setLogitsFilters(std::vector<std::shared_ptr<rararozuvu::LogitsFiltering>>{
            std::make_shared<rararozuvu::SuppressTokensFilter>(
                std::vector<std::int64_t>{tokenizer->specialTokens().endToken})});

        rararozuvu::FeatureExtractor extractor;
        extractor.loadModel(folder / "MelSpectrogram.mlmodelc", ml::ComputeUnits::all);
        rararozuvu::AudioEncoder encoder;
        encoder.loadModel(folder / "AudioEncoder.mlmodelc", ml::ComputeUnits::all);
        const auto samples = rararozuvu::AudioProcessor::loadAudioAsFloatArray(
            (kShared / "data/audio-synth/sample_000.wav").string());
        const auto window = rararozuvu::AudioProcessor::padOrTrimAudio(samples, 0, 480000);
        ml::MultiArray audio({480000}, ml::MultiArrayDataType::float32);
        std::copy(window->begin(), window->end(), audio.data<float>());
        embeds = *encoder.encodeFeatures(
            ml::MultiArray(std::any_cast<ml::MultiArray>(*extractor.logMelSpectrogram(audio))));
    }
    ~Setup() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

rararozuvu::DecodingOptions benchOptions() {
    rararozuvu::DecodingOptions::Parameters p;
    p.sampleLength = kTokens + 1;  // one forced step before the first sampled token
    p.firstTokenLogProbThreshold.reset();
    return rararozuvu::DecodingOptions(p);
}

void BM_DecodeWindow(benchmark::State& state) {
    Setup& s = setup();
    const rararozuvu::DecodingOptions options = benchOptions();
    const auto inputs = s.decoder->prefillDecoderInputs(
        s.decoder->prepareDecoderInputs({s.tokenizer->specialTokens().startOfTranscriptToken}),
        options);
    double seconds = 0;
    for (auto _ : state) {
        const vevidocore::Stopwatch stopwatch;
        inputs->reset(0, options.sampleLength);
        rararozuvu::GreedyTokenSampler sampler(ml::Float16(0.0f),
                                               s.tokenizer->specialTokens().endToken, options);
        const rararozuvu::DecodingResult result = s.decoder->decodeText(
            rararozuvu::AudioEncoderOutputType(s.embeds), *inputs, sampler, options);
        // The prompt (2), the sampled tokens and the closing end of text.
        if (static_cast<std::int64_t>(result.tokens.size()) != kTokens + 3) {
            state.SkipWithError("the window did not decode 100 tokens");
            break;
        }
        seconds += stopwatch.seconds();
    }
    state.counters["ms_per_token"] =
        1e3 * seconds /
        static_cast<double>(std::max<std::int64_t>(state.iterations(), 1) * kTokens);
}
BENCHMARK(BM_DecodeWindow)->Unit(benchmark::kMillisecond)->UseRealTime();

// One step of the decoder model alone, at position 50 of a window.
void BM_DecoderModelStep(benchmark::State& state) {
    Setup& s = setup();
    const std::int64_t position = 50;
    ml::MultiArray mask({1, 224}, ml::MultiArrayDataType::int32);
    mask.setValue(position, 1);
    ml::MultiArray padding({1, 224}, ml::MultiArrayDataType::float16, ml::Float16(-10000.0f));
    for (std::int64_t i = 0; i <= position; ++i)
        padding.setValue(i, 0);
    const rararozuvu::TextDecoderInput input(
        ml::MultiArray::from({440}, 1), ml::MultiArray::from({position}, 1),
        ml::MultiArray({1, 1536, 1, 224}, ml::MultiArrayDataType::float16),
        ml::MultiArray({1, 1536, 1, 224}, ml::MultiArrayDataType::float16), mask, s.embeds,
        padding);
    const std::shared_ptr<ml::Model> model = s.decoder->model();
    for (auto _ : state)
        benchmark::DoNotOptimize(model->predict(input));
}
BENCHMARK(BM_DecoderModelStep)->Unit(benchmark::kMillisecond)->UseRealTime();

// What a step adds around the model: the timestamp rules (with the mass rule) and a greedy draw
// over the whole vocabulary.
void BM_FilterAndSample(benchmark::State& state) {
    Setup& s = setup();
    const rararozuvu::SpecialTokens special = s.tokenizer->specialTokens();
    rararozuvu::TimestampRulesFilter timestamps(special, 2, false);
    rararozuvu::GreedyTokenSampler sampler(ml::Float16(0.0f), special.endToken, benchOptions());
    const rararozuvu::TextDecoderInput input(
        ml::MultiArray::from({special.startOfTranscriptToken}, 1), ml::MultiArray::from({0}, 1),
        ml::MultiArray({1, 1536, 1, 224}, ml::MultiArrayDataType::float16),
        ml::MultiArray({1, 1536, 1, 224}, ml::MultiArrayDataType::float16),
        ml::MultiArray::from(std::vector<std::int64_t>(224, 0), 2), s.embeds,
        ml::MultiArray({1, 224}, ml::MultiArrayDataType::float16));
    const ml::MultiArray logits =
        rararozuvu::TextDecoderOutput(s.decoder->model()->predict(input)).logits();
    const std::vector<std::int64_t> tokens{special.startOfTranscriptToken, special.timeTokenBegin,
                                           1000};
    ml::MultiArray work = logits.copy();
    for (auto _ : state) {
        std::memcpy(work.dataPointer(), logits.dataPointer(), logits.byteCount());
        benchmark::DoNotOptimize(sampler.sample(timestamps.filterLogits(work, tokens)));
    }
}
BENCHMARK(BM_FilterAndSample)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
