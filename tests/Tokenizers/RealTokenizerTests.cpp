#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "TestSupport.h"
#include "tokenizers/AutoTokenizer.h"
#include "tokenizers/PreTrainedTokenizer.h"

using namespace tokenizers;
using tokenizers::testing::thrownMessage;
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
        hub::Config config = readJson(folder / "tokenizer_config.json");
        // This older description names no tokenizer class; the hub loader supplies one from
        // the model type ("bert" -> "BertTokenizer").
        if (family == "bert-base-uncased") {
            config = hub::Config{{"do_lower_case", true}, {"tokenizer_class", "BertTokenizer"}};
        }
        slot = AutoTokenizer::from(config, readJson(folder / "tokenizer.json"), true);
    }
    return *slot;
}

// Ids read straight from the tokenizer's files, not through the tokenizer: "vocab.txt" (one
// token a line) where there is one, else the vocabulary of "tokenizer.json" (a dictionary, or a
// list of [piece, score] entries).
struct Vocabulary {
    hub::Config data;
    std::vector<std::string> lines;
    explicit Vocabulary(const std::string& family)
        : data(readJson(folderOf(family) / "tokenizer.json")) {
        std::ifstream in(folderOf(family) / "vocab.txt");
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
    }
    int id(std::string_view token) const {
        if (const auto it = std::find(lines.begin(), lines.end(), token); it != lines.end())
            return static_cast<int>(it - lines.begin());
        const hub::Config vocab = data["model"]["vocab"];
        if (const auto v = vocab[std::string(token)].integer())
            return static_cast<int>(*v);
        if (const auto* pieces = vocab.array()) {
            for (std::size_t i = 0; i < pieces->size(); ++i) {
                if ((*pieces)[i][0].string() == token)
                    return static_cast<int>(i);
            }
        }
        for (const hub::Config& entry : *data["added_tokens"].array()) {
            if (entry["content"].string() == token)
                return static_cast<int>(*entry["id"].integer());
        }
        ADD_FAILURE() << "no id for " << token;
        return -1;
    }
    std::vector<int> ids(const std::vector<std::string>& tokens) const {
        std::vector<int> out;
        for (const std::string& token : tokens)
            out.push_back(id(token));
        return out;
    }
};

struct TokensOfText {
    std::string text;
    std::vector<std::string> tokens;
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

TEST_P(RealTokenizer, IllFormedUtf8ReadsAsReplacementCharacters) {
    const Tokenizer& t = loaded(GetParam());
    const std::string broken = "ab\xFF\xC3 \xE2\x82\xAC\xE2\x82 \xF0\x9F\x98";
    const std::string repaired = "ab\uFFFD\uFFFD \u20AC\uFFFD \uFFFD";
    EXPECT_EQ(t.encode(broken), t.encode(repaired));
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

TEST_P(RealTokenizer, ReadingTheDataTextGivesTheSameTokenizer) {
    if (GetParam() == "bert-base-uncased")
        GTEST_SKIP() << "its configuration names no class";
    const auto folder = folderOf(GetParam());
    std::ifstream in(folder / "tokenizer.json", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const auto fromText = PreTrainedTokenizer::fromDataText(
        readJson(folder / "tokenizer_config.json"), text.str(), true);
    if (GetParam() == "t5-base") {
        EXPECT_EQ(fromText, nullptr);  // a Unigram model is read the ordinary way
        return;
    }
    ASSERT_NE(fromText, nullptr);
    const PreTrainedTokenizer t(readJson(folder / "tokenizer_config.json"),
                                readJson(folder / "tokenizer.json"), true);
    for (const std::string& sample : corpus)
        EXPECT_EQ(fromText->encode(sample), t.encode(sample)) << sample;
    for (int id = 0; id < 52000; ++id)
        ASSERT_EQ(fromText->convertIdToToken(id), t.convertIdToToken(id)) << id;
}

INSTANTIATE_TEST_SUITE_P(Files, RealTokenizer,
                         ::testing::Values("gpt2", "whisper-tiny.en", "tinyllama-1.1b-chat",
                                           "tiny-en-random", "bert-base-uncased", "t5-base"));

// Tokenizers whose decoding gives every text back (the others lower-case, fold or drop text).
class RoundTrippingTokenizer : public ::testing::TestWithParam<std::string> {};

TEST_P(RoundTrippingTokenizer, RoundTripsTheCorpus) {
    const Tokenizer& t = loaded(GetParam());
    for (const std::string& text : corpus) {
        EXPECT_EQ(t.decode(t.encode(text, false)), text) << GetParam();
    }
    // All texts at once, as one long input.
    std::string all;
    for (const std::string& text : corpus)
        all += text + "\n";
    EXPECT_EQ(t.decode(t.encode(all, false)), all);
    const std::string broken = "ab\xFF\xC3 \xE2\x82\xAC\xE2\x82 \xF0\x9F\x98";
    EXPECT_EQ(t.decode(t.encode(broken, false)), "ab\uFFFD\uFFFD \u20AC\uFFFD \uFFFD");
}

INSTANTIATE_TEST_SUITE_P(Files, RoundTrippingTokenizer,
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
}

TEST(RealTokenizer, PrefixSpaceGoesOnlyInFrontOfTheText) {
    const Vocabulary v("whisper-small-multilingual-nb");
    const Tokenizer& t = loaded("whisper-small-multilingual-nb");
    EXPECT_EQ(t.encode("a-b", false), (std::vector<int>{v.id("\u0120a"), v.id("-"), v.id("b")}));
    EXPECT_EQ(t.encode(" a-b", false), t.encode("a-b", false));
    std::vector<std::string> texts = {
        "a-b",
        "e-mail: x@y.z, (parens) [brackets] {braces}",
        "3.14+2=5.14; 100% sure?!",
        "\u201CQuoted,\u201D she said\u2026 \u00AByes\u00BB",
        "snake_case/path/to/file.txt",
        "\u00C5 \u00E6\u00F8\u00E5-\u00C6\u00D8\u00C5",
    };
    for (const std::string& text : corpus) {
        if (text.find('<') == std::string::npos)
            texts.push_back(text);
    }
    for (const std::string& text : texts) {
        const std::string expected = text.starts_with(' ') ? text : " " + text;
        EXPECT_EQ(t.decode(t.encode(text, false)), expected);
    }
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

TEST(RealTokenizer, BertWordPieceIdsComeFromTheVocabulary) {
    const Vocabulary v("bert-base-uncased");
    const Tokenizer& t = loaded("bert-base-uncased");
    const TokensOfText cases[] = {
        {"Hello world! This is a test of the tokenizer.",
         {"hello", "world", "!", "this", "is", "a", "test", "of", "the", "token", "##izer", "."}},
        // Accents and case are folded away; the dash is punctuation.
        {"Na\u00EFve CAF\u00C9, re\u0301sume\u0301 \u2014 d\u00E9j\u00E0 vu.",
         {"naive", "cafe", ",", "resume", "\u2014", "de", "##ja", "vu", "."}},
        // Ideographs are words of their own; what the vocabulary cannot cover is "[UNK]"; an
        // added token passes whole.
        {"\u65E5\u672C\u8A9E \U0001F600 unaffable [CLS] x",
         {"\u65E5", "\u672C", "\u8A9E", "[UNK]", "una", "##ffa", "##ble", "[CLS]", "x"}},
        {"I can't pay $5.50 for 2 coffees!",
         {"i", "can", "'", "t", "pay", "$", "5", ".", "50", "for", "2", "coffee", "##s", "!"}},
        // Accent stripping decomposes Hangul into jamo, which are matched one by one.
        {"\uAC01", {"\u1100", "##\u1161", "##\u11A8"}},
        // Control and format characters go; tabs and line breaks separate words.
        {"a\u0007b\u200Bc\td\r\ne", {"abc", "d", "e"}},
        // A word of 101 characters is unknown; one of 100 is split (longest pieces first).
        {std::string(101, 'a') + " " + std::string(100, 'a'),
         [] {
             std::vector<std::string> tokens = {"[UNK]", "aaa"};
             for (int i = 0; i < 48; ++i)
                 tokens.push_back("##aa");
             tokens.push_back("##a");
             return tokens;
         }()},
    };
    for (const TokensOfText& c : cases) {
        std::vector<int> expected = v.ids(c.tokens);
        expected.insert(expected.begin(), v.id("[CLS]"));
        expected.push_back(v.id("[SEP]"));
        EXPECT_EQ(t.encode(c.text), expected) << c.text;
    }
    EXPECT_EQ(t.decode(t.encode("Hello, World! It is unaffable.")),
              "[CLS] hello, world! it is unaffable. [SEP]");
    EXPECT_EQ(t.decode(t.encode("Hello, World!"), true), "hello, world!");
    EXPECT_EQ(t.unknownTokenId(), v.id("[UNK]"));
}

TEST(RealTokenizer, T5UnigramIdsComeFromTheVocabulary) {
    const Vocabulary v("t5-base");
    const Tokenizer& t = loaded("t5-base");
    const TokensOfText cases[] = {
        {"Hello world! This is a test of the tokenizer.",
         {"\u2581Hello", "\u2581world", "!", "\u2581This", "\u2581is", "\u2581", "a", "\u2581test",
          "\u2581of", "\u2581the", "\u2581token", "izer", "."}},
        // Characters no piece covers become the unknown token, one for a run of them.
        {"Na\u00EFve caf\u00E9 \u65E5\u672C x",
         {"\u2581Na", "<unk>", "ve", "\u2581caf\u00E9", "\u2581", "<unk>", "\u2581", "x"}},
        // The precompiled rules: compatibility forms, a zero-width space as a blank, runs of
        // white space as one.
        {"\uFF48\uFF45\uFF4C\uFF4C\uFF4F\u200Bworld\t \u2460",
         {"\u2581hello", "\u2581world", "\u25811"}},
        {"I can't pay $5.50!",
         {"\u2581I", "\u2581can", "'", "t", "\u2581pay", "\u2581$5", ".", "50", "!"}},
        {"<extra_id_0> K\u00F6ln", {"<extra_id_0>", "\u2581K\u00F6ln"}},
    };
    for (const TokensOfText& c : cases) {
        std::vector<int> expected = v.ids(c.tokens);
        expected.push_back(v.id("</s>"));
        EXPECT_EQ(t.encode(c.text), expected) << c.text;
    }
    EXPECT_EQ(t.decode(t.encode("Hello world! This is a test.")),
              "Hello world! This is a test.</s>");
    EXPECT_EQ(t.decode(t.encode("Hello world!"), true), "Hello world!");
    // The description's truncation and padding settings are not applied by encoding.
    std::string longText;
    for (int i = 0; i < 40; ++i)
        longText += "word ";
    EXPECT_EQ(t.encode(longText).size(), 41u);
    EXPECT_EQ(t.encode("Hello").size(), 2u);
    EXPECT_EQ(t.eosTokenId(), v.id("</s>"));
    EXPECT_EQ(t.unknownTokenId(), v.id("<unk>"));
}

TEST(RealTokenizer, FolderLoading) {
    const auto whisper = AutoTokenizer::from(folderOf("tiny-en-random"), true);
    EXPECT_EQ(whisper->encode(" Hello world"), loaded("tiny-en-random").encode(" Hello world"));
    EXPECT_FALSE(whisper->hasChatTemplate());
    EXPECT_EQ(AutoTokenizer::from(tokenizerFolder("t5-base"), true)->encode("Hello world"),
              loaded("t5-base").encode("Hello world"));
    // From a folder the class is always the plain one, so TinyLlama keeps its normalizer
    // (Prepend and Replace) in place of the Metaspace splitter, and still round-trips.
    const auto llama = AutoTokenizer::from(tokenizerFolder("tinyllama-1.1b-chat"), true);
    const Vocabulary v("tinyllama-1.1b-chat");
    EXPECT_EQ(llama->encode("Hello world"),
              (std::vector<int>{v.id("<s>"), v.id("\u2581Hello"), v.id("\u2581world")}));
    for (const std::string& text : corpus) {
        if (text.find('<') == std::string::npos) {
            EXPECT_EQ(llama->decode(llama->encode(text, false)), text);
        }
    }
    // Every section between added tokens gets the prefix, so text after one gains a blank.
    EXPECT_EQ(llama->decode(llama->encode("a</s>b", false)), "a</s> b");
    // This description names no tokenizer class.
    EXPECT_EQ(
        thrownMessage([] { AutoTokenizer::from(tokenizerFolder("bert-base-uncased"), true); }),
        "The tokenizer class is not specified in the configuration.");
    EXPECT_THROW(AutoTokenizer::from(std::filesystem::path("/nonexistent/folder")), TokenizerError);
}
