#include "rararozuvu/models/WhisperTokenizerWrapper.h"

#include <gtest/gtest.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "../AudioFixtures.h"
#include "rararozuvu/models/Constants.h"
#include "tokenizers/AutoTokenizer.h"

namespace rararozuvu {
namespace {

const std::filesystem::path shared = QUILLORA_SHARED_DIR;
const std::filesystem::path tinyModel = shared / "models/tiny-en-random";
const std::filesystem::path multilingual = shared / "data/tokenizers/whisper-small-multilingual-nb";
const std::filesystem::path englishOnlyOld = shared / "data/tokenizers/whisper-tiny.en";

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

rapidjson::Document tokenizerDescription(const std::filesystem::path& folder) {
    rapidjson::Document document;
    document.Parse(readFile(folder / "tokenizer.json").c_str());
    return document;
}

// The ids the description itself gives its added tokens, and its vocabulary's blank ("Ġ").
struct FileIds {
    std::map<std::string, std::int64_t> added;
    std::int64_t blank = -1;

    std::optional<std::int64_t> operator[](const std::string& content) const {
        const auto it = added.find(content);
        return it == added.end() ? std::nullopt : std::optional<std::int64_t>(it->second);
    }
};

FileIds fileIds(const std::filesystem::path& folder) {
    const rapidjson::Document document = tokenizerDescription(folder);
    FileIds ids;
    for (const auto& token : document["added_tokens"].GetArray()) {
        ids.added[token["content"].GetString()] = token["id"].GetInt64();
    }
    ids.blank = document["model"]["vocab"]["\xC4\xA0"].GetInt64();
    return ids;
}

std::shared_ptr<const WhisperTokenizerWrapper> wrapperFor(const std::filesystem::path& folder) {
    return std::make_shared<WhisperTokenizerWrapper>(tokenizers::AutoTokenizer::from(folder),
                                                     folder);
}

class WhisperTokenizerWrapperTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tiny = wrapperFor(tinyModel);
        tinyIds = std::make_unique<FileIds>(fileIds(tinyModel));
    }
    static void TearDownTestSuite() {
        tiny.reset();
        tinyIds.reset();
    }

    static std::vector<std::int64_t> encode(std::string_view text) {
        const std::vector<int> ids = tiny->tokenizer().encode(text, false);
        return {ids.begin(), ids.end()};
    }

    static inline std::shared_ptr<const WhisperTokenizerWrapper> tiny;
    static inline std::unique_ptr<FileIds> tinyIds;
};

void expectSpecialTokensOfTheFile(const WhisperTokenizerWrapper& wrapper, const FileIds& ids) {
    const SpecialTokens& t = wrapper.specialTokens();
    EXPECT_EQ(t.endToken, ids["<|endoftext|>"]);
    EXPECT_EQ(t.specialTokenBegin, ids["<|endoftext|>"]);
    EXPECT_EQ(t.englishToken, ids["<|en|>"]);
    const auto noSpeech = ids["<|nospeech|>"] ? ids["<|nospeech|>"] : ids["<|nocaptions|>"];
    ASSERT_TRUE(noSpeech);
    EXPECT_EQ(t.noSpeechToken, *noSpeech);
    EXPECT_EQ(t.noTimestampsToken, ids["<|notimestamps|>"]);
    EXPECT_EQ(t.startOfPreviousToken, ids["<|startofprev|>"]);
    EXPECT_EQ(t.startOfTranscriptToken, ids["<|startoftranscript|>"]);
    EXPECT_EQ(t.timeTokenBegin, ids["<|0.00|>"]);
    EXPECT_EQ(t.transcribeToken, ids["<|transcribe|>"]);
    EXPECT_EQ(t.translateToken, ids["<|translate|>"]);
    EXPECT_EQ(t.whitespaceToken, ids.blank);

    std::set<std::int64_t> languages;
    for (const std::string& code : Constants::languageCodes()) {
        if (const auto id = ids["<|" + code + "|>"]) {
            languages.insert(*id);
        }
    }
    EXPECT_EQ(wrapper.allLanguageTokens(), languages);
}

TEST_F(WhisperTokenizerWrapperTest, ResolvesTheSpecialTokensOfTheTinyModel) {
    expectSpecialTokensOfTheFile(*tiny, *tinyIds);
    EXPECT_EQ(tiny->tokenizerFolder(), tinyModel);
}

TEST(WhisperTokenizerWrapperFilesTest, ResolvesTheSpecialTokensOfAMultilingualVocabulary) {
    const auto wrapper = wrapperFor(multilingual);
    expectSpecialTokensOfTheFile(*wrapper, fileIds(multilingual));
    EXPECT_EQ(wrapper->specialTokens().englishToken, 50259);
    EXPECT_TRUE(wrapper->allLanguageTokens().contains(50259));
    EXPECT_EQ(wrapper->specialTokens().specialTokenBegin, wrapper->specialTokens().endToken);
}

TEST(WhisperTokenizerWrapperFilesTest, TimestampsFollowNoTimestampsInAVocabularyWithoutThem) {
    const FileIds ids = fileIds(englishOnlyOld);
    ASSERT_FALSE(ids["<|0.00|>"]);
    const auto wrapper = wrapperFor(englishOnlyOld);
    EXPECT_EQ(wrapper->specialTokens().timeTokenBegin, *ids["<|notimestamps|>"] + 1);
    EXPECT_EQ(wrapper->specialTokens().noSpeechToken, ids["<|nocaptions|>"]);
}

TEST(WhisperTokenizerWrapperFilesTest, FallbackIdsNeverNameAnotherControlToken) {
    // The English-only vocabulary without its no-speech token: Whisper's usual id for it is this
    // vocabulary's "<|notimestamps|>".
    rapidjson::Document document = tokenizerDescription(tinyModel);
    auto& added = document["added_tokens"];
    for (auto token = added.Begin(); token != added.End(); ++token) {
        if (std::string_view((*token)["content"].GetString()) == "<|nocaptions|>") {
            added.Erase(token);
            break;
        }
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    testing::TempFolder folder;
    std::ofstream(folder.file("tokenizer.json")) << buffer.GetString();
    std::filesystem::copy_file(tinyModel / "tokenizer_config.json",
                               folder.file("tokenizer_config.json"));

    const auto wrapper = wrapperFor(std::filesystem::path(folder.file("")));
    const SpecialTokens& t = wrapper->specialTokens();
    EXPECT_EQ(wrapper->convertIdToToken(50362), "<|notimestamps|>");
    EXPECT_NE(t.noSpeechToken, 50362);
    EXPECT_EQ(t.noSpeechToken, t.endToken);
    EXPECT_EQ(t.noTimestampsToken, 50362);
}

TEST(WhisperTokenizerWrapperFilesTest, AVocabularyWithoutControlTokensTakesTheUsualIds) {
    // Its unknown token answers every control token it lacks.
    testing::TempFolder folder;
    std::ofstream(folder.file("tokenizer_config.json"))
        << R"({"tokenizer_class": "GPT2Tokenizer", "unk_token": "<unk>"})";
    std::ofstream(folder.file("tokenizer.json")) << R"({
        "added_tokens": [{"id": 0, "content": "<unk>", "single_word": false, "lstrip": false,
                          "rstrip": false, "normalized": false, "special": true}],
        "normalizer": null, "pre_tokenizer": null, "post_processor": null, "decoder": null,
        "model": {"type": "BPE", "vocab": {"<unk>": 0, "a": 1, "b": 2, "ab": 3},
                  "merges": ["a b"], "unk_token": "<unk>"}})";
    const auto wrapper = wrapperFor(std::filesystem::path(folder.file("")));
    const SpecialTokens& t = wrapper->specialTokens();
    const std::vector<std::int64_t> ids = {
        t.endToken,          t.englishToken,         t.noSpeechToken,          t.noTimestampsToken,
        t.specialTokenBegin, t.startOfPreviousToken, t.startOfTranscriptToken, t.timeTokenBegin,
        t.transcribeToken,   t.translateToken,       t.whitespaceToken};
    EXPECT_EQ(ids, (std::vector<std::int64_t>{50257, 50259, 50362, 50363, 50257, 50361, 50258,
                                              50364, 50359, 50358, 220}));
    EXPECT_TRUE(wrapper->allLanguageTokens().empty());
    EXPECT_FALSE(wrapper->convertTokenToId("<|en|>"));
    EXPECT_EQ(wrapper->convertTokenToId("<unk>"), 0);
}

TEST_F(WhisperTokenizerWrapperTest, PassesTextAndIdsThrough) {
    const std::vector<std::int64_t> hello = encode(" Hello world");
    EXPECT_EQ(tiny->decode(hello), " Hello world");
    const std::vector<std::int64_t> withSpecial = {tiny->specialTokens().startOfTranscriptToken,
                                                   hello[0]};
    EXPECT_EQ(tiny->decode(withSpecial), "<|startoftranscript|> Hello");
    EXPECT_EQ(tiny->decode({}), "");
    EXPECT_EQ(tiny->convertIdToToken(tiny->specialTokens().endToken), "<|endoftext|>");
    EXPECT_FALSE(tiny->convertIdToToken(std::int64_t{1} << 40));
    EXPECT_EQ(tiny->convertTokenToId("<|endoftext|>"), tiny->specialTokens().endToken);
    EXPECT_FALSE(tiny->convertTokenToId("no such token"));
    // Encoding adds what the tokenizer's post-processor adds.
    const std::vector<int> direct = tiny->tokenizer().encode("Hello");
    EXPECT_EQ(tiny->encode("Hello"), std::vector<std::int64_t>(direct.begin(), direct.end()));
}

TEST_F(WhisperTokenizerWrapperTest, EnglishSplitsAtBlanksPunctuationAndSpecialTokens) {
    const SpecialTokens& t = tiny->specialTokens();
    std::vector<std::int64_t> ids = {t.timeTokenBegin};
    const std::vector<std::int64_t> text = encode(" Hello, Quillorians.");
    ids.insert(ids.end(), text.begin(), text.end());
    ids.push_back(t.timeTokenBegin + 50);
    ids.push_back(t.endToken);
    ASSERT_GT(encode(" Quillorians").size(), 1u);

    const WordTokens split = tiny->splitToWordTokens(ids);
    EXPECT_EQ(split.words, (std::vector<std::string>{"<|0.00|>", " Hello", ",", " Quillorians", ".",
                                                     "<|1.00|>", "<|endoftext|>"}));
    ASSERT_EQ(split.wordTokens.size(), split.words.size());
    EXPECT_EQ(split.wordTokens[3], encode(" Quillorians"));
    std::vector<std::int64_t> joined;
    for (const auto& tokens : split.wordTokens) {
        joined.insert(joined.end(), tokens.begin(), tokens.end());
    }
    EXPECT_EQ(joined, ids);

    EXPECT_TRUE(tiny->splitToWordTokens({}).words.empty());
}

TEST_F(WhisperTokenizerWrapperTest, UnspacedScriptsSplitIntoWholeCharacters) {
    for (const std::string text : {"こんにちは、世界。日本語です", "สวัสดีครับ ผม", "你好世界"}) {
        const std::vector<std::int64_t> ids = encode(text);
        const WordTokens split = tiny->splitToWordTokens(ids);
        std::string joined;
        bool multiTokenCharacter = false;
        for (std::size_t i = 0; i < split.words.size(); ++i) {
            EXPECT_EQ(tiny->decode(split.wordTokens[i]), split.words[i]);
            EXPECT_EQ(split.words[i].find("\xEF\xBF\xBD"), std::string::npos) << text;
            multiTokenCharacter |= split.wordTokens[i].size() > 1;
            joined += split.words[i];
        }
        EXPECT_EQ(joined, text);
        EXPECT_TRUE(multiTokenCharacter) << text;
        // One word per decodable run: far more words than blank-separated ones.
        EXPECT_GE(split.words.size(), 4u) << text;
    }
}

TEST_F(WhisperTokenizerWrapperTest, TrailingPartialCharactersMakeNoWord) {
    const std::vector<std::int64_t> ids = encode("日本語");
    // The longest prefix that ends inside a character.
    std::vector<std::int64_t> partial;
    for (std::size_t n = ids.size() - 1; n > 0 && partial.empty(); --n) {
        const std::vector<std::int64_t> prefix(ids.begin(), ids.begin() + n);
        if (tiny->decode(prefix).ends_with("\xEF\xBF\xBD")) {
            partial = prefix;
        }
    }
    ASSERT_FALSE(partial.empty()) << "every token of the text ends a character";
    const WordTokens split = tiny->splitToWordTokens(partial);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < split.words.size(); ++i) {
        EXPECT_EQ(split.words[i].find("\xEF\xBF\xBD"), std::string::npos);
        kept += split.wordTokens[i].size();
    }
    EXPECT_LT(kept, partial.size());
    EXPECT_TRUE(std::string("日本語").starts_with(split.words.empty() ? "" : split.words[0]));
}

}  // namespace
}  // namespace rararozuvu
