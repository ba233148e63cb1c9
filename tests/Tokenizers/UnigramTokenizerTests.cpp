#include <gtest/gtest.h>

#include "TestSupport.h"
#include "tokenizers/PreTrainedTokenizer.h"
#include "tokenizers/UnigramTokenizer.h"

using namespace tokenizers;
using tokenizers::testing::json;
using tokenizers::testing::thrownMessage;
using Strings = std::vector<std::string>;

namespace {

std::string unigramData(std::string_view vocab, std::string_view unknownId = "0") {
    return std::string(R"({"model":{"type":"Unigram","unk_id":)") + std::string(unknownId) +
           R"(,"vocab":)" + std::string(vocab) + "}}";
}

UnigramTokenizer unigramModel(std::string_view vocab, std::string_view config = "{}") {
    return UnigramTokenizer(json(config), json(unigramData(vocab)));
}

}  // namespace

TEST(UnigramTokenizer, BestScoringCut) {
    struct Case {
        const char* vocab;
        std::string text;
        Strings tokens;
    } cases[] = {
        {R"([["<unk>",0],["a",-1],["b",-1],["ab",-1.5]])", "ab", {"ab"}},
        // Equal totals: the cut whose last piece starts earliest wins.
        {R"([["<unk>",0],["a",-1],["b",-1],["ab",-2]])", "ab", {"ab"}},
        {R"([["<unk>",0],["b",-1],["ab",-2],["a",-1]])", "ab", {"ab"}},
        {R"([["<unk>",0],["a",-1],["b",-1],["ab",-2.5]])", "ab", {"a", "b"}},
        // A piece that is a prefix of a longer one is a candidate too.
        {R"([["<unk>",0],["ab",-1],["abc",-10],["c",-1]])", "abc", {"ab", "c"}},
        {R"([["<unk>",0],["ab",-1],["abc",-1.5],["c",-1]])", "abc", {"abc"}},
        // Characters that no piece covers are tokens of their own (fused later by the
        // tokenizer), each costing the lowest score less 10.
        {R"([["<unk>",0],["a",-1]])", "xxa", {"x", "x", "a"}},
        {R"([["<unk>",0],["a",-1],["xa",-30]])", "xxa", {"x", "xa"}},
        // Positions are characters: a piece never matches part of one.
        {R"([["<unk>",0],["e",-1],["\u0301",-1]])", "e\u0301", {"e\u0301"}},
        {R"([["<unk>",0],["\u2581",-2],["\u2581\u00E9t\u00E9",-3]])",
         "\u2581\u00E9t\u00E9",
         {"\u2581\u00E9t\u00E9"}},
        {R"([["<unk>",0],["a",-1]])", "", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(unigramModel(c.vocab).tokenize(c.text), c.tokens) << c.vocab << " / " << c.text;
    }
}

TEST(UnigramTokenizer, VocabularyAndSpecialTokens) {
    const auto model = unigramModel(R"([["<pad>",0],["</s>",0],["<unk>",0],[" ",-2],["a",-3],)"
                                    R"(["a",-1],["b",7]])",
                                    R"({"bos_token":"<s>","eos_token":"</s>"})");
    EXPECT_EQ(model.bosToken(), " ");
    EXPECT_EQ(model.bosTokenId(), 3);
    EXPECT_EQ(model.eosTokenId(), 1);
    EXPECT_EQ(model.minScore(), -3);
    EXPECT_EQ(model.unknownPiece().token, "<pad>");
    EXPECT_EQ(model.unknownPiece().score, -13);
    EXPECT_EQ(model.unknownToken(), "<pad>");
    EXPECT_TRUE(model.fuseUnknownTokens());
    // The first of two pieces with one text keeps the text; an integer score is a score.
    EXPECT_EQ(model.convertTokenToId("a"), 4);
    EXPECT_EQ(model.vocab()[6].score, 7);
    EXPECT_EQ(model.convertTokenToId("zz"), 0);
    EXPECT_EQ(model.convertIdToToken(6), "b");
    EXPECT_EQ(model.convertIdToToken(7), std::nullopt);
    EXPECT_EQ(model.convertIdToToken(-1), std::nullopt);
}

TEST(UnigramTokenizer, MalformedDescriptions) {
    const std::string missing = "Vocabulary file is missing from the tokenizer configuration.";
    const std::string malformed = "The vocabulary file is malformed or corrupted.";
    struct Case {
        std::string data;
        std::string message;
    } cases[] = {
        {R"({"model":{"unk_id":0}})", missing},
        {unigramData(R"({"a":1})"), missing},
        {unigramData(R"([["a",-1],"b"])"), malformed},
        {unigramData(R"([["a",-1],[]])"), malformed},
        {unigramData(R"([[1,-1]])"), malformed},
        {unigramData(R"([["a","-1"]])"), malformed},
        {unigramData(R"([["a",true]])"), malformed},
        {unigramData(R"([["a",-1]])", "null"), malformed},
        {unigramData(R"([["a",-1]])", "0.5"), malformed},
        {unigramData(R"([["a",-1]])", "1"), malformed},
        {unigramData(R"([["a",-1]])", "-1"), malformed},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(thrownMessage([&] { UnigramTokenizer(json("{}"), json(c.data)); }), c.message)
            << c.data;
    }
}

TEST(UnigramTokenizer, TokenizerFusesUnknownCharactersWithinASection) {
    const std::string data = R"({"added_tokens":[{"id":1,"content":"</s>","special":true}],)"
                             R"("pre_tokenizer":{"type":"WhitespaceSplit"},)"
                             R"("model":{"type":"Unigram","unk_id":2,)"
                             R"("vocab":[["<pad>",0],["</s>",0],["<unk>",0],["a",-1],["b",-1]]}})";
    for (const char* name : {"T5TokenizerFast", "XLMRobertaTokenizer", "Xlm-RobertaTokenizer"}) {
        const PreTrainedTokenizer t(json(std::string(R"({"tokenizer_class":")") + name + "\"}"),
                                    json(data), true);
        ASSERT_NE(dynamic_cast<const UnigramTokenizer*>(&t.model()), nullptr);
        EXPECT_EQ(dynamic_cast<const T5Tokenizer*>(&t.model()) != nullptr,
                  std::string(name) == "T5TokenizerFast");
        EXPECT_EQ(t.encode("axyzb xa</s>xx"), (std::vector<int>{3, 2, 4, 2, 3, 1, 2})) << name;
    }
}
