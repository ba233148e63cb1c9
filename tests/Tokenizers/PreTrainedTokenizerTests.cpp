#include <gtest/gtest.h>

#include "TestSupport.h"
#include "tokenizers/AutoTokenizer.h"
#include "tokenizers/LlamaPreTrainedTokenizer.h"
#include "tokenizers/PreTrainedTokenizer.h"

using namespace tokenizers;
using tokenizers::testing::json;
using tokenizers::testing::thrownMessage;
using Strings = std::vector<std::string>;

namespace {

// A small description without pre-tokenizer or decoder: each section is one piece, and the
// tokens are joined as they are.
std::string description(std::string_view addedTokens, std::string_view extra = "") {
    return std::string(R"({"added_tokens":)") + std::string(addedTokens) + std::string(extra) +
           R"(,"model":{"type":"BPE","merges":["a b","h i"],)"
           R"("vocab":{"a":0,"b":1,"c":2,"ab":3," .":4,"h":5,"i":6,"hi":7,"<unk>":8,"x":9,)"
           R"("<0x7A>":10}}})";
}

const char* const endOfText = R"([{"id":50,"content":"<|endoftext|>","special":true}])";

PreTrainedTokenizer tokenizer(std::string_view data,
                              std::string_view config = R"({"tokenizer_class":"GPT2Tokenizer"})",
                              bool strict = true) {
    return PreTrainedTokenizer(json(config), json(data), strict);
}

}  // namespace

TEST(PreTrainedTokenizer, AddedTokensSplitTheTextFirst) {
    struct Case {
        std::string addedTokens;
        std::string text;
        Strings tokens;
    } cases[] = {
        {endOfText, "ab<|endoftext|>c", {"ab", "<|endoftext|>", "c"}},
        {endOfText, "<|endoftext|><|endoftext|>", {"<|endoftext|>", "<|endoftext|>"}},
        // The longer token wins over its prefix, whatever the file order.
        {R"([{"id":40,"content":"<|x"},{"id":41,"content":"<|xy|>"}])",
         "a<|xy|>b",
         {"a", "<|xy|>", "b"}},
        // lstrip and rstrip swallow the white space next to the token.
        {R"([{"id":50,"content":"<|endoftext|>","lstrip":true}])",
         "a <|endoftext|>",
         {"a", "<|endoftext|>"}},
        {R"([{"id":50,"content":"<|endoftext|>","rstrip":1}])",
         "<|endoftext|>  ab",
         {"<|endoftext|>", "ab"}},
        // Metacharacters in a token are literal.
        {R"([{"id":51,"content":"a.b"}])", "a.bxab", {"a.b", "x", "ab"}},
        // A token without an integer id still cuts the text, but its section goes to the model.
        {R"([{"id":1.5,"content":"hi"}])", "ahib", {"a", "hi", "b"}},
        {R"([{"id":"7","content":"hi"}])", "hi", {"hi"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tokenizer(description(c.addedTokens)).tokenize(c.text), c.tokens)
            << c.addedTokens << " / " << c.text;
    }
    const auto t = tokenizer(description(endOfText));
    EXPECT_EQ(t.encode("ab<|endoftext|>c"), (std::vector<int>{3, 50, 2}));
    EXPECT_EQ(t.encode("ab", false),
              t.encode("ab"));  // no post-processor: the flag changes nothing
}

TEST(PreTrainedTokenizer, DecodeKeepsOrSkipsSpecialTokensAndCleansUpSpaces) {
    const std::string added =
        R"([{"id":50,"content":"<|startoftranscript|>","special":true},{"id":51,"content":"hi"}])";
    const auto t = tokenizer(description(added));
    EXPECT_EQ(t.decode({50, 0, 1}), "<|startoftranscript|>ab");
    EXPECT_EQ(t.decode({50, 0, 1}, true), "ab");
    EXPECT_EQ(t.decode({51, 0}, true), "hia");  // added but not special: stays
    EXPECT_EQ(t.decode({0, 999, 4}), "a.");     // unknown ids are dropped; " ." is cleaned up
    const auto keepSpaces =
        tokenizer(description(added),
                  R"({"tokenizer_class":"GPT2Tokenizer","clean_up_tokenization_spaces":false})");
    EXPECT_EQ(keepSpaces.decode({0, 4}), "a .");
    EXPECT_EQ(t.cleanUp("I 'm sure it 's , you 're ! do n't ? yes ."),
              "I'm sure it's, you're! don't? yes.");
}

TEST(PreTrainedTokenizer, FusesUnknownTokensWithinASection) {
    const std::string config =
        R"({"tokenizer_class":"GPT2Tokenizer","unk_token":"<unk>","fuse_unk":true})";
    // "<unk>" is also the vocabulary's text for the unknown id, so a piece that merges to it is
    // unknown; "z" is unknown too but falls back to a byte token the vocabulary has.
    const auto t = tokenizer(description(endOfText), config);
    const Strings tokens = {"<unk>", "<unk>", "<unk>", "a", "<unk>"};
    EXPECT_EQ(t.fuseUnknown(tokens), (Strings{"<unk>", "a", "<unk>"}));
    // Byte tokens the vocabulary lacks map to the unknown id and fuse; the boundary of an added
    // token ends the run.
    EXPECT_EQ(t.tokenize("qq<|endoftext|>q"), (Strings{"<0x71>", "<|endoftext|>", "<0x71>"}));
    EXPECT_EQ(t.encode("qq<|endoftext|>q"), (std::vector<int>{8, 50, 8}));
    EXPECT_EQ(t.encode("z"), (std::vector<int>{10}));
}

TEST(PreTrainedTokenizer, ClassNamesAndStrictMode) {
    const std::string data = description(endOfText);
    EXPECT_NO_THROW(tokenizer(data, R"({"tokenizer_class":"WhisperTokenizerFast"})"));
    EXPECT_EQ(
        thrownMessage([&] { tokenizer(data, R"({"tokenizer_class":"MyFastTokenizerFast"})"); }),
        "The tokenizer type 'MyTokenizer' is not supported.");
    EXPECT_EQ(thrownMessage([&] { tokenizer(data, R"({"model_max_length":5})"); }),
              "The tokenizer class is not specified in the configuration.");
    ::testing::internal::CaptureStdout();
    const auto lenient = tokenizer(data, R"({"tokenizer_class":"MyTokenizer"})", false);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Warning: Tokenizer model class MyTokenizer is not registered, falling back to a "
              "standard BPE implementation.\n");
    EXPECT_EQ(lenient.encode("ab"), (std::vector<int>{3}));
}

TEST(PreTrainedTokenizer, DescriptionErrorsFailTheLoad) {
    const std::string config = R"({"tokenizer_class":"GPT2Tokenizer"})";
    struct Case {
        std::string extra;
        std::string message;
    } cases[] = {
        {R"(,"decoder":{"type":"Nope"})", "Unsupported Decoder type: Nope"},
        {R"(,"pre_tokenizer":{"type":"Sequence"})", "No pretokenizers in Sequence"},
        {R"(,"post_processor":{"type":"RobertaProcessing"})",
         "Missing `sep` processor configuration"},
        {R"(,"normalizer":{"type":"Unknown"})", "Unsupported Normalizer type: Unknown"},
        {R"(,"decoder":{"type":"Replace","content":"","pattern":{"Regex":"[a-"}})",
         "Cannot build regexp from [a-"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(thrownMessage([&] { tokenizer(description("[]", c.extra), config); }), c.message);
    }
    // A post-processor that names a token the vocabulary lacks cannot encode.
    const auto t = tokenizer(
        description(
            "[]",
            R"(,"post_processor":{"type":"TemplateProcessing",)"
            R"("single":[{"SpecialToken":{"id":"<none>"}},{"Sequence":{"id":"A"}}],"pair":[]})"),
        config);
    EXPECT_EQ(t.encode("a", false), (std::vector<int>{0}));
    EXPECT_EQ(thrownMessage([&] { t.encode("a"); }),
              "Tokenizer configuration mismatch: the token '<none>' has no id in the vocabulary");
}

// Reading the vocabulary and merges straight from the text builds the tokenizer the Config does;
// any other shape is left to the ordinary reading.
TEST(PreTrainedTokenizer, ReadingTheDataTextGivesTheSameTokenizer) {
    const std::string config = R"({"tokenizer_class":"GPT2Tokenizer"})";
    const auto same = [&](const std::string& data) {
        const auto fromText = PreTrainedTokenizer::fromDataText(json(config), data, true);
        ASSERT_NE(fromText, nullptr) << data;
        const auto fromConfig = tokenizer(data, config);
        // Ids, or the error of a text the small vocabulary cannot encode.
        const auto encoded = [](const PreTrainedTokenizer& t, const char* text) {
            try {
                return ::testing::PrintToString(t.encode(text));
            } catch (const TokenizerError& e) {
                return std::string(e.what());
            }
        };
        for (const char* text : {"abhi", "a b", "hic .", "aab", "ab<|endoftext|>z", "\u00e9"})
            EXPECT_EQ(encoded(*fromText, text), encoded(fromConfig, text)) << data << " / " << text;
        for (int id = -1; id < 60; ++id)
            EXPECT_EQ(fromText->convertIdToToken(id), fromConfig.convertIdToToken(id)) << data;
    };
    same(description(endOfText));
    // Escapes, a key that comes twice (the later wins), ids that are no integers, merges as
    // lists, the model's values in another order, tables before the added tokens.
    same(R"({"model":{"vocab":{"\u0061":0,"b":1,"ab":2,"b":3,"c":1.5,"d":1e1,"e":"4"},)"
         R"("type":"BPE","merges":[["a","b"],["x"],["a","b","c"]]},"added_tokens":[]})");
    same(R"({"added_tokens":[],"model":{"merges":["a b","a  b",""],"vocab":{"a":0,"b":1}}})");

    for (const std::string& data : {
             std::string("not json"),
             description(endOfText) + " x",
             // Shapes read the ordinary way.
             std::string(R"({"model":{"vocab":{"a":0},"merges":[["a",1]]}})"),
             std::string(R"({"model":{"vocab":{"a":[0]},"merges":[]}})"),
             std::string(R"({"model":{"vocab":[["a",0.5]],"merges":[]}})"),
             std::string(R"({"model":{"vocab":{"a":0}}})"),
             std::string(R"({"model":{"vocab":{"a":0},"merges":[],"vocab":{"b":0}}})"),
             std::string(R"({"model":{"vocab":{},"merges":[]},"model":{"vocab":{},"merges":[]}})"),
             std::string(R"({"model":{"vocab":{"\udc00":0},"merges":[]}})"),
         }) {
        EXPECT_EQ(PreTrainedTokenizer::fromDataText(json(config), data, true), nullptr) << data;
    }
    EXPECT_EQ(PreTrainedTokenizer::fromDataText(json(R"({"tokenizer_class":"BertTokenizer"})"),
                                                description(endOfText), true),
              nullptr);
    EXPECT_EQ(thrownMessage([&] {
                  PreTrainedTokenizer::fromDataText(
                      json(config), description("[]", R"(,"decoder":{"type":"Nope"})"), true);
              }),
              "Unsupported Decoder type: Nope");
}

TEST(LlamaTokenizer, NonLegacyTextGetsOneMetaspaceInFront) {
    const std::string data = R"({"added_tokens":[{"id":1,"content":"<s>","special":true}],)"
                             R"("normalizer":{"type":"NotBuiltYet"},)"
                             R"("model":{"type":"BPE","merges":["▁ a","▁a b"],)"
                             R"("vocab":{"▁":0,"<s>":1,"a":2,"b":3,"▁a":4,"▁ab":5,"<unk>":6}}})";
    const std::string config =
        R"({"tokenizer_class":"LlamaTokenizerFast","legacy":false,"add_bos_token":true,)"
        R"("bos_token":{"content":"<s>"},"unk_token":"<unk>"})";
    const auto t = AutoTokenizer::from(json(config), json(data), true);
    ASSERT_NE(dynamic_cast<const LlamaPreTrainedTokenizer*>(t.get()), nullptr);
    // The text's own "▁" becomes a blank; the normalizer is dropped for a Metaspace splitter.
    EXPECT_EQ(t->tokenize("ab▁ab"), (Strings{"▁ab", "▁ab"}));
    // The lone "▁" before a special token goes; the later section gets no prefix.
    EXPECT_EQ(t->tokenize("<s>ab"), (Strings{"<s>", "a", "b"}));
    // The rewritten post-processor puts the bos token in front.
    EXPECT_EQ(t->encode("ab"), (std::vector<int>{1, 5}));

    // Legacy descriptions keep their normalizer (here one of an unknown kind).
    EXPECT_EQ(thrownMessage([&] {
                  AutoTokenizer::from(json(R"({"tokenizer_class":"LlamaTokenizer"})"), json(data));
              }),
              "Unsupported Normalizer type: NotBuiltYet");
}

TEST(LlamaTokenizer, PostProcessorRewrite) {
    const hub::Config byteLevel = json(R"({"type":"ByteLevel"})");
    const hub::Config templated = json(R"({"type":"TemplateProcessing","single":[],"pair":[]})");
    EXPECT_FALSE(
        maybeUpdatePostProcessor(json(R"({"add_bos_token":true,"bos_token":"<s>"})"), &templated));
    const auto rewritten = maybeUpdatePostProcessor(
        json(
            R"({"add_bos_token":true,"bos_token":"<s>","add_eos_token":"1","eos_token":{"content":"</s>"}})"),
        &byteLevel);
    ASSERT_TRUE(rewritten);
    const auto processor = PostProcessorFactory::fromConfig(&*rewritten);
    EXPECT_EQ((*processor)({"a"}), (Strings{"<s>", "a", "</s>"}));
    EXPECT_EQ((*processor)({"a"}, Strings{"b"}), (Strings{"<s>", "a", "</s>", "<s>", "b", "</s>"}));
    EXPECT_EQ(thrownMessage(
                  [&] { maybeUpdatePostProcessor(json(R"({"add_bos_token":true})"), nullptr); }),
              "Tokenizer configuration mismatch: add_bos_token is True but bos_token is nil");
    EXPECT_EQ(thrownMessage(
                  [&] { maybeUpdatePostProcessor(json(R"({"add_eos_token":true})"), nullptr); }),
              "Tokenizer configuration mismatch: add_eos_token is True but eos_token is nil");
}
