// Speed of the tokenizer library: loading the Whisper tokenizer, encoding English prose with the
// GPT-2 vocabulary on one thread, and decoding it again.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "hub/YYJSONParser.h"
#include "tokenizers/AutoTokenizer.h"
#include "tokenizers/PreTrainedTokenizer.h"

namespace {

const std::filesystem::path shared = QUILLORA_SHARED_DIR;

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// A few MB of English prose: the synthetic clips' transcripts, the reference transcripts of the
// shared recordings and some sentences of our own, shuffled and repeated into paragraphs.
const std::vector<std::string>& prose() {
    static const std::vector<std::string> paragraphs = [] {
        std::vector<std::string> sentences = {
            "And so, my fellow Americans, ask not what your country can do for you; ask what you "
            "can do for your country.",
            "The stale smell of old beer lingers.",
            "It takes heat to bring out the odor.",
            "A cold dip restores health and zest.",
            "A salt pickle tastes fine with ham.",
            "Tacos al pastor are my favorite.",
            "A zestful food is the hot cross bun.",
            "He hoped there would be stew for dinner, turnips and carrots and bruised potatoes "
            "and fat mutton pieces to be ladled out in thick peppered flour fattened sauce.",
            "For a full hour he had paced up and down, waiting, but he could wait no longer.",
            "After early nightfall the yellow lamps would light up, here and there, the squalid "
            "quarter of the brothels.",
            "Hold the key, speak, and let go: the words appear where the cursor is.",
            "Please remind me to call the dentist tomorrow at 9:30 in the morning.",
            "It's a quarter past four and the meeting hasn't started yet, so we're waiting.",
            "The quick brown fox jumps over the lazy dog while the kettle boils.",
            "Send the report to Maria before Friday, and copy the whole team on it.",
            "We measured 3.5 seconds of latency on the older laptop, which is too slow.",
        };
        const hub::Config clips = hub::YYJSONParser::parseToConfig(
            readFile(shared / "data" / "audio-synth" / "transcripts.json"));
        if (const auto* list = clips.array()) {
            for (const hub::Config& clip : *list) {
                if (auto text = clip["text"].string())
                    sentences.push_back(std::move(*text));
            }
        }
        std::mt19937 rng(42);
        std::vector<std::string> out;
        std::size_t total = 0;
        while (total < (4u << 20)) {
            std::shuffle(sentences.begin(), sentences.end(), rng);
            std::string paragraph;
            for (std::size_t i = 0; i < 12; ++i)
                paragraph += sentences[i] + ' ';
            paragraph.back() = '\n';
            total += paragraph.size();
            out.push_back(std::move(paragraph));
        }
        return out;
    }();
    return paragraphs;
}

std::size_t proseBytes() {
    std::size_t n = 0;
    for (const std::string& p : prose())
        n += p.size();
    return n;
}

const tokenizers::Tokenizer& gpt2() {
    static const auto tokenizer =
        tokenizers::AutoTokenizer::from(shared / "data" / "tokenizers" / "gpt2", true);
    return *tokenizer;
}

void BM_LoadWhisperTokenizer(benchmark::State& state) {
    const auto folder = shared / "data" / "tokenizers" / "whisper-tiny.en";
    for (auto _ : state) {
        auto tokenizer = tokenizers::AutoTokenizer::from(folder, true);
        benchmark::DoNotOptimize(tokenizer);
    }
}
BENCHMARK(BM_LoadWhisperTokenizer)->Unit(benchmark::kMillisecond);

// The part of loading that is ours: building the tokenizer from the parsed description.
void BM_BuildWhisperTokenizerFromParsedDescription(benchmark::State& state) {
    const auto folder = shared / "data" / "tokenizers" / "whisper-tiny.en";
    const hub::Config config =
        hub::YYJSONParser::parseToConfig(readFile(folder / "tokenizer_config.json"));
    const hub::Config data = hub::YYJSONParser::parseToConfig(readFile(folder / "tokenizer.json"));
    for (auto _ : state) {
        tokenizers::PreTrainedTokenizer tokenizer(config, data, true);
        benchmark::DoNotOptimize(tokenizer);
    }
}
BENCHMARK(BM_BuildWhisperTokenizerFromParsedDescription)->Unit(benchmark::kMillisecond);

void BM_EncodeProseGpt2(benchmark::State& state) {
    const auto& tokenizer = gpt2();
    const auto& paragraphs = prose();
    std::size_t tokens = 0;
    for (auto _ : state) {
        for (const std::string& p : paragraphs)
            tokens += tokenizer.encode(p).size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * proseBytes()));
    state.counters["tokens"] =
        benchmark::Counter(static_cast<double>(tokens), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EncodeProseGpt2)->Unit(benchmark::kMillisecond);

// Words that never repeat: every piece goes through the merge loop (no help from the cache of
// recent pieces).
void BM_EncodeUniqueWordsGpt2(benchmark::State& state) {
    const auto& tokenizer = gpt2();
    std::mt19937 rng(7);
    std::string text;
    std::size_t words = 0;
    while (text.size() < (1u << 20)) {
        text += ' ';
        for (int n = 3 + static_cast<int>(rng() % 8); n > 0; --n) {
            text += static_cast<char>('a' + rng() % 26);
        }
        if (++words % 12 == 0)
            text += ".\n";
    }
    for (auto _ : state) {
        // Distinct words per run, so that no run finds the previous one's pieces.
        for (char& c : text) {
            if (c >= 'a' && c < 'z') {
                ++c;
            } else if (c == 'z') {
                c = 'a';
            }
        }
        benchmark::DoNotOptimize(tokenizer.encode(text));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_EncodeUniqueWordsGpt2)->Unit(benchmark::kMillisecond);

void BM_DecodeProseGpt2(benchmark::State& state) {
    const auto& tokenizer = gpt2();
    std::vector<std::vector<int>> encoded;
    for (const std::string& p : prose())
        encoded.push_back(tokenizer.encode(p));
    for (auto _ : state) {
        for (const auto& ids : encoded)
            benchmark::DoNotOptimize(tokenizer.decode(ids));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * proseBytes()));
}
BENCHMARK(BM_DecodeProseGpt2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
