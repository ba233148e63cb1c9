#include <gtest/gtest.h>

#include "TestSupport.h"
#include "tokenizers/BertTokenizer.h"
#include "tokenizers/PreTrainedTokenizer.h"

using namespace tokenizers;
using tokenizers::testing::json;
using tokenizers::testing::thrownMessage;
using Strings = std::vector<std::string>;

namespace {

std::unique_ptr<BertTokenizer> bertModel(std::string_view vocab, std::string_view config = "{}",
                                         std::string_view addedTokens = "[]",
                                         const TextToId& added = {}) {
    const hub::Config data = json(std::string(R"({"added_tokens":)") + std::string(addedTokens) +
                                  R"(,"model":{"vocab":)" + std::string(vocab) + "}}");
    return BertTokenizer::fromConfig(json(config), data, added);
}

}  // namespace

TEST(BertTokenizer, BasicSplitterCutsAtWhiteSpaceAndPunctuation) {
    const BasicTokenizer lower(true);
    const BasicTokenizer keepCase(false);
    struct Case {
        const BasicTokenizer& splitter;
        std::string text;
        Strings words;
    } cases[] = {
        {lower, "H\u00E9llo, World!", {"hello", ",", "world", "!"}},
        {lower, "He\u0301llo", {"hello"}},
        {keepCase, "H\u00E9llo, World!", {"H\u00E9llo", ",", "World", "!"}},
        // The reserved words stay whole, but only as words of their own and spelt exactly.
        {lower, "[CLS] a [MASK]", {"[CLS]", "a", "[MASK]"}},
        {lower, "[cls]", {"[", "cls", "]"}},
        {lower, "a[CLS]", {"a", "[", "cls", "]"}},
        // Tabs and space separators split; a line feed does not.
        {lower, "a\tb\u00A0c\u3000d", {"a", "b", "c", "d"}},
        {lower, "a\nb", {"a\nb"}},
        // ASCII symbols split like punctuation; other symbols do not.
        {lower,
         "1$2+3<4=5>6^7`8|9~0",
         {"1", "$", "2", "+", "3", "<", "4", "=", "5", ">", "6", "^", "7", "`", "8", "|", "9", "~",
          "0"}},
        {lower, "a\u00A9b\u2014c", {"a\u00A9b", "\u2014", "c"}},
        {lower, "  ", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.splitter.tokenize(c.text), c.words) << c.text;
}

TEST(BertTokenizer, GreedyLongestMatchFirst) {
    const auto model = bertModel(R"({"[UNK]":0,"un":1,"##aff":2,"##able":3,"a":4,"##a":5,)"
                                 R"("una":6,"##ffa":7,"##ble":8,"\u4F60":9,"\u597D":10})");
    struct Case {
        std::string text;
        Strings tokens;
    } cases[] = {
        {"unaffable", {"una", "##ffa", "##ble"}},  // the longest first piece wins
        {"unaffab", {"[UNK]"}},                    // pieces already found are dropped
        {"un", {"un"}},
        {std::string(100, 'a'),
         [] {
             Strings t(100, "##a");
             t[0] = "a";
             return t;
         }()},
        {std::string(101, 'a'), {"[UNK]"}},
        {"\u4F60\u597D", {"\u4F60", "\u597D"}},  // ideographs are spaced apart first
        {"UN aa", {"un", "a", "##a"}},
        {"", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(model->tokenize(c.text), c.tokens) << c.text;

    const auto textbook = bertModel(R"({"un":1,"##aff":2,"##able":3})");
    EXPECT_EQ(textbook->tokenize("unaffable"), (Strings{"un", "##aff", "##able"}));
    EXPECT_EQ(bertModel(R"({"un":1,"##able":3})")->tokenize("unaffable"), (Strings{"[UNK]"}));
    // Without spacing, two ideographs are one word that the vocabulary cannot cover.
    const auto noSpacing =
        bertModel(R"({"[UNK]":0,"\u4F60":9,"\u597D":10})", R"({"handle_chinese_chars":false})");
    EXPECT_EQ(noSpacing->tokenize("\u4F60\u597D"), (Strings{"[UNK]"}));
}

TEST(BertTokenizer, VocabularyComparesUnderCanonicalEquivalence) {
    const auto model =
        bertModel(R"({"[UNK]":0,"caf\u00E9":1,"##e\u0301":2,"x":3})", R"({"do_lower_case":false})");
    EXPECT_EQ(model->tokenize("cafe\u0301"), (Strings{"cafe\u0301"}));
    EXPECT_EQ(model->convertTokenToId("cafe\u0301"), 1);
    EXPECT_EQ(model->convertTokenToId("##\u00E9"), 2);
    EXPECT_EQ(model->tokenize("x\u00E9"), (Strings{"x", "##\u00E9"}));
    EXPECT_EQ(model->convertTokenToId("nothing"), 0);
    EXPECT_EQ(model->convertIdToToken(3), "x");
    EXPECT_EQ(model->convertIdToToken(7), std::nullopt);
}

TEST(BertTokenizer, ConfigurationAndAddedTokens) {
    const auto model = bertModel(
        R"({"[CLS]":0,"[SEP]":1,"a":2,"b":3,"c":4.5})",
        R"({"bos_token":"[CLS]","eos_token":{"content":"[SEP]"},"fuse_unk":"true"})",
        R"([{"id":7,"content":"a"},{"id":8.5,"content":"b"},{"id":9}])", TextToId{{"b", 10}});
    // Added tokens win over the vocabulary: the description's, then the front end's.
    EXPECT_EQ(model->convertTokenToId("a"), 7);
    EXPECT_EQ(model->convertTokenToId("b"), 10);
    // Non-integer vocabulary values are left out; without "[UNK]" there is no unknown id.
    EXPECT_EQ(model->convertTokenToId("c"), std::nullopt);
    EXPECT_EQ(model->unknownToken(), "[UNK]");
    EXPECT_EQ(model->unknownTokenId(), std::nullopt);
    EXPECT_EQ(model->bosToken(), "[CLS]");
    EXPECT_EQ(model->bosTokenId(), 0);
    EXPECT_EQ(model->eosToken(), std::nullopt);  // only a plain text counts
    EXPECT_TRUE(model->fuseUnknownTokens());
    EXPECT_FALSE(bertModel("{}")->fuseUnknownTokens());

    EXPECT_EQ(thrownMessage([] { bertModel("[]"); }),
              "Vocabulary file is missing from the tokenizer configuration.");
}

TEST(BertTokenizer, ChosenByTheTokenizerClass) {
    const std::string data =
        R"({"normalizer":{"type":"BertNormalizer"},"pre_tokenizer":{"type":"BertPreTokenizer"},)"
        R"("model":{"vocab":{"[UNK]":0,"hello":1,"!":2,"##s":3}}})";
    for (const char* name : {"BertTokenizerFast", "DistilbertTokenizer", "DistilBertTokenizer"}) {
        const PreTrainedTokenizer t(json(std::string(R"({"tokenizer_class":")") + name + "\"}"),
                                    json(data), true);
        EXPECT_NE(dynamic_cast<const BertTokenizer*>(&t.model()), nullptr) << name;
        EXPECT_EQ(t.encode("H\u00C9LLO! Hellos?"), (std::vector<int>{1, 2, 1, 3, 0})) << name;
    }
}
