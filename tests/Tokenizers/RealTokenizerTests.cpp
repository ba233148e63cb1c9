#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "TestSupport.h"
#include "tokenizers/AutoTokenizer.h"
#include "tokenizers/PreTrainedTokenizer.h"

using namespace tokenizers;
using tokenizers::testing::tokenizerFolder;

namespace {

// Files are parsed once for the whole test program: parsing is the slow part of loading.
hub::Config readJson(const std::filesystem::path& file) {
    static std::mutex mutex;
    static std::map<std::filesystem::path, hub::Config> cache;
    std::lock_guard lock(mutex);
    if (const auto it = cache.find(file); it != cache.end())
        return it->second;
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return cache[file] = hub::YYJSONParser::parseToConfig(bytes.str());
}

std::filesystem::path folderOf(const std::string& family) {
    if (family == "tiny-en-random") {
        return std::filesystem::path(QUILLORA_SHARED_DIR) / "models" / "tiny-en-random";
    }
    return tokenizerFolder(family);
}

// Each real tokenizer is built once for the whole test program.
const Tokenizer& loaded(const std::string& family) {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<Tokenizer>> cache;
    std::lock_guard lock(mutex);
    auto& slot = cache[family];
    if (!slot) {
        const auto folder = folderOf(family);
        slot = AutoTokenizer::from(readJson(folder / "tokenizer_config.json"),
                                   readJson(folder / "tokenizer.json"), true);
    }
    return *slot;
}

// Ids read straight from a tokenizer file, not through the tokenizer.
struct Vocabulary {
    hub::Config data;
    explicit Vocabulary(const std::string& family)
        : data(readJson(folderOf(family) / "tokenizer.json")) {}
    int id(std::string_view token) const {
        const auto v = data["model"]["vocab"][std::string(token)].integer();
        if (v)
            return static_cast<int>(*v);
        for (const hub::Config& entry : *data["added_tokens"].array()) {
            if (entry["content"].string() == token)
                return static_cast<int>(*entry["id"].integer());
        }
        ADD_FAILURE() << "no id for " << token;
        return -1;
    }
};

// Texts whose decoding gives them back exactly (no blank before punctuation, which the
// clean-up would remove).
const std::vector<std::string> corpus = {
    "Hello world! This is a test of the tokenizer.",
    "Na\u00EFve caf\u00E9, r\u00E9sum\u00E9 \u2014 d\u00E9j\u00E0 vu.",
    "\u00C6rlig talt, s\u00E5 er det bl\u00E5b\u00E6rsyltet\u00F8y p\u00E5 bordet.",
    "\u65E5\u672C\u8A9E\u306E\u30C6\u30AD\u30B9\u30C8\u3068\u4E2D\u6587\u6587\u672C\u3002",
    "Emoji: \U0001F600\U0001F44D\U0001F3FD \U0001F468\u200D\U0001F469\u200D\U0001F467 "
    "\U0001F1F3\U0001F1F4",
    "Line one\r\nLine two\n\nLine three",
    "runs   of    spaces\t\ttabs  ",
    "Don't stop; it's fine, isn't it?",
    "\u00E9, \uFB01 and \u00BD, \u0645\u0631\u062D\u0628\u0627",
    "x<|endoftext|>y and </s> and <s>",
};

}  // namespace

class RealTokenizer : public ::testing::TestWithParam<std::string> {};

TEST_P(RealTokenizer, RoundTripsTheCorpus) {
    const Tokenizer& t = loaded(GetParam());
    for (const std::string& text : corpus) {
        EXPECT_EQ(t.decode(t.encode(text, false)), text) << GetParam();
    }
    // All texts at once, as one long input.
    std::string all;
    for (const std::string& text : corpus)
        all += text + "\n";
    EXPECT_EQ(t.decode(t.encode(all, false)), all);
}

TEST_P(RealTokenizer, IllFormedUtf8ReadsAsReplacementCharacters) {
    const Tokenizer& t = loaded(GetParam());
    const std::string broken = "ab\xFF\xC3 \xE2\x82\xAC\xE2\x82 \xF0\x9F\x98";
    const std::string repaired = "ab\uFFFD\uFFFD \u20AC\uFFFD \uFFFD";
    EXPECT_EQ(t.encode(broken), t.encode(repaired));
    EXPECT_EQ(t.decode(t.encode(broken, false)), repaired);
}

TEST_P(RealTokenizer, IsSafeToShareBetweenThreads) {
    const Tokenizer& t = loaded(GetParam());
    std::vector<std::vector<int>> expected;
    for (const std::string& text : corpus)
        expected.push_back(t.encode(text));
    std::vector<std::thread> threads;
    std::atomic<int> mismatches = 0;
    for (int n = 0; n < 4; ++n) {
        threads.emplace_back([&] {
            for (int round = 0; round < 20; ++round) {
                for (std::size_t i = 0; i < corpus.size(); ++i) {
                    if (t.encode(corpus[i]) != expected[i])
                        ++mismatches;
                }
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(mismatches, 0);
}

INSTANTIATE_TEST_SUITE_P(Files, RealTokenizer,
                         ::testing::Values("gpt2", "whisper-tiny.en", "tinyllama-1.1b-chat",
                                           "tiny-en-random"));

TEST(RealTokenizer, Gpt2IdsComeFromTheVocabulary) {
    const Vocabulary v("gpt2");
    const Tokenizer& t = loaded("gpt2");
    EXPECT_EQ(t.encode("Hello world"), (std::vector<int>{v.id("Hello"), v.id("\u0120world")}));
    EXPECT_EQ(t.encode("a<|endoftext|>"), (std::vector<int>{v.id("a"), v.id("<|endoftext|>")}));
    // A space before a newline stays its own piece: "\u0120" then "\u010A".
    EXPECT_EQ(t.encode(" \n"), (std::vector<int>{v.id("\u0120"), v.id("\u010A")}));
    // Byte-level text keeps a decomposed accent as it was.
    EXPECT_EQ(t.decode(t.encode("e\u0301 \u00E9")), "e\u0301 \u00E9");
}

TEST(RealTokenizer, WhisperEncodesWithItsPromptAndDecodesControlTokens) {
    {
        const Vocabulary v("whisper-tiny.en");
        const Tokenizer& t = loaded("whisper-tiny.en");
        const std::vector<int> ids = t.encode(" Hello world");
        EXPECT_EQ(ids, (std::vector<int>{v.id("<|startoftranscript|>"), v.id("<|notimestamps|>"),
                                         v.id("\u0120Hello"), v.id("\u0120world"),
                                         v.id("<|endoftext|>")}));
        EXPECT_EQ(t.decode(ids), "<|startoftranscript|><|notimestamps|> Hello world<|endoftext|>");
        EXPECT_EQ(t.decode(ids, true), " Hello world");
        // This older file has no timestamp tokens: their text is unknown, so it maps to the
        // unknown token (end of text), and ids past the vocabulary have no token.
        EXPECT_EQ(t.convertTokenToId("<|0.00|>"), v.id("<|endoftext|>"));
        EXPECT_FALSE(t.convertIdToToken(v.id("<|notimestamps|>") + 2));
    }
    const Vocabulary v("whisper-small-multilingual-nb");
    const Tokenizer& t = loaded("whisper-small-multilingual-nb");
    EXPECT_EQ(t.convertTokenToId("<|en|>"), 50259);
    EXPECT_EQ(t.convertTokenToId("<|0.00|>"), 50364);
    EXPECT_EQ(t.encode(" Hello world"),
              (std::vector<int>{v.id("<|startoftranscript|>"), v.id("<|no|>"),
                                v.id("<|transcribe|>"), v.id("<|notimestamps|>"),
                                v.id("\u0120Hello"), v.id("\u0120world"), v.id("<|endoftext|>")}));
    const std::vector<int> transcript = {v.id("<|startoftranscript|>"),
                                         v.id("<|en|>"),
                                         v.id("<|transcribe|>"),
                                         v.id("<|0.00|>"),
                                         v.id("\u0120Hello"),
                                         v.id("\u0120world"),
                                         v.id("<|1.50|>"),
                                         v.id("<|endoftext|>")};
    EXPECT_EQ(t.decode(transcript),
              "<|startoftranscript|><|en|><|transcribe|><|0.00|> Hello world<|1.50|>"
              "<|endoftext|>");
    EXPECT_EQ(t.decode(transcript, true), " Hello world");
    // This description adds a prefix space to every piece.
    EXPECT_EQ(t.decode(t.encode("Hello", false)), " Hello");
}

TEST(RealTokenizer, TinyLlamaUsesMetaspaceAndByteFallback) {
    const Vocabulary v("tinyllama-1.1b-chat");
    const Tokenizer& t = loaded("tinyllama-1.1b-chat");
    EXPECT_EQ(t.encode("Hello"), (std::vector<int>{v.id("<s>"), v.id("\u2581Hello")}));
    EXPECT_EQ(t.encode("\U0001F600", false),
              (std::vector<int>{v.id("\u2581"), v.id("<0xF0>"), v.id("<0x9F>"), v.id("<0x98>"),
                                v.id("<0x80>")}));
    EXPECT_EQ(t.bosTokenId(), v.id("<s>"));
    EXPECT_EQ(t.eosTokenId(), v.id("</s>"));
    EXPECT_TRUE(t.hasChatTemplate());
}

TEST(RealTokenizer, FolderLoadingAndKindsNotBuiltYet) {
    const auto whisper = AutoTokenizer::from(folderOf("tiny-en-random"), true);
    EXPECT_EQ(whisper->encode(" Hello world"), loaded("tiny-en-random").encode(" Hello world"));
    EXPECT_FALSE(whisper->hasChatTemplate());
    // From a folder the class is always the plain one, so TinyLlama keeps its normalizer.
    for (const char* family : {"bert-base-uncased", "t5-base", "tinyllama-1.1b-chat"}) {
        EXPECT_THROW(AutoTokenizer::from(tokenizerFolder(family), true), TokenizerError) << family;
    }
    EXPECT_THROW(AutoTokenizer::from(std::filesystem::path("/nonexistent/folder")), TokenizerError);
}
