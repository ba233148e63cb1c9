#include <gtest/gtest.h>

#include <random>

#include "TestSupport.h"
#include "tokenizers/BPETokenizer.h"

using namespace tokenizers;
using tokenizers::testing::json;
using tokenizers::testing::thrownMessage;
using Strings = std::vector<std::string>;

namespace {

std::unique_ptr<BPETokenizer> bpeModel(std::string_view vocab, std::string_view merges,
                                       std::string_view config = "{}", const TextToId& added = {}) {
    const hub::Config data = json(std::string(R"({"model":{"vocab":)") + std::string(vocab) +
                                  R"(,"merges":)" + std::string(merges) + "}}");
    return BPETokenizer::fromConfig(json(config), data, added);
}

// The merge loop as plainly as it can be written: pick the lowest-ranked adjacent pair, merge
// its occurrences left to right in one pass, repeat.
std::string referenceBpe(const std::string& piece,
                         const std::map<std::pair<std::string, std::string>, int>& ranks) {
    Strings symbols;
    for (char c : piece)
        symbols.emplace_back(1, c);
    while (symbols.size() > 1) {
        const std::pair<std::string, std::string>* best = nullptr;
        int bestRank = 0;
        for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
            const auto it = ranks.find({symbols[i], symbols[i + 1]});
            if (it != ranks.end() && (!best || it->second < bestRank)) {
                best = &it->first;
                bestRank = it->second;
            }
        }
        if (!best)
            break;
        Strings next;
        for (std::size_t i = 0; i < symbols.size();) {
            if (symbols[i] == best->first && i + 1 < symbols.size() &&
                symbols[i + 1] == best->second) {
                next.push_back(symbols[i] + symbols[i + 1]);
                i += 2;
            } else {
                next.push_back(symbols[i++]);
            }
        }
        symbols = std::move(next);
    }
    std::string joined;
    for (const std::string& s : symbols)
        joined += (joined.empty() ? "" : " ") + s;
    return joined;
}

}  // namespace

TEST(BPETokenizer, MergeLoopEdgeCases) {
    const auto model =
        bpeModel(R"({"a":0,"b":1,"c":2,"ab":3,"abc":4,"aa":5})", R"(["a b",["ab","c"],"a a"])");
    struct Case {
        std::string piece;
        std::string merged;
        Strings tokens;
    } cases[] = {
        {"", "", {}},
        {"a", "a", {"a"}},
        {"abc", "abc", {"abc"}},
        {"aaa", "aa a", {"aa", "a"}},
        {"aaaa", "aa aa", {"aa", "aa"}},
        {"cab", "c ab", {"c", "ab"}},
        // Characters outside the vocabulary fall back to their bytes.
        {"é", "é", {"<0xC3>", "<0xA9>"}},
        // A space separates tokens and never ends up in one.
        {"ab c", "ab   c", {"ab", "c"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(model->bpe(c.piece), c.merged) << c.piece;
        EXPECT_EQ(model->tokenize(c.piece), c.tokens) << c.piece;
    }
}

TEST(BPETokenizer, MergeFormsAndRanks) {
    const auto merges = [](std::string_view text) {
        const hub::Config c = json(text);
        return BPETokenizer::mergesFromConfig(&c);
    };
    EXPECT_EQ(merges(R"(["\u0120 t", ["\u0120", "t"], "a  b", ["x", 3, "y"], 7])"),
              (std::vector<Strings>{{"\u0120", "t"}, {"\u0120", "t"}, {"a", "", "b"}, {"x", "y"}}));
    EXPECT_FALSE(merges(R"({"a":"b"})"));
    EXPECT_FALSE(BPETokenizer::mergesFromConfig(nullptr));

    // The same pair listed again takes its later rank, so "a b" (rank 1) now beats it.
    const char* vocab = R"({"a":0,"b":1,"c":2,"ab":3,"bc":4})";
    EXPECT_EQ(bpeModel(vocab, R"(["b c","a b"])")->bpe("abc"), "a bc");
    EXPECT_EQ(bpeModel(vocab, R"(["b c","a b","b c"])")->bpe("abc"), "ab c");
    // Pairs compare under canonical equivalence: a merge written decomposed applies to the
    // precomposed letter, and the token keeps the text as it was in the piece.
    const auto accented = bpeModel(R"({"\u00E9x":0})", R"([["e\u0301","x"]])");
    EXPECT_EQ(accented->tokenize("\u00E9x"), (Strings{"\u00E9x"}));
}

TEST(BPETokenizer, VocabularyUnknownAndSpecialTokens) {
    const char* vocab = R"({"a":0,"b":1,"<unk>":2,"<s>":3,"ab":4,"<0x63>":5,"f":1.5})";
    const auto model = bpeModel(vocab, R"(["a b"])",
                                R"({"unk_token":{"content":"<unk>"},"bos_token":"<s>",)"
                                R"("eos_token":{"content":"</s>"},"fuse_unk":"true"})",
                                TextToId{{"ab", 9}, {"<x>", 10}});
    EXPECT_EQ(model->convertTokenToId("ab"), 9);  // the added token's id wins
    EXPECT_EQ(model->convertIdToToken(9), "ab");
    EXPECT_EQ(model->convertTokenToId("<x>"), 10);
    EXPECT_EQ(model->convertTokenToId("f"), 2);  // a float id is no id: unknown
    EXPECT_EQ(model->convertTokenToId("zzz"), 2);
    EXPECT_FALSE(model->convertIdToToken(77));
    EXPECT_EQ(model->unknownTokenId(), 2);
    EXPECT_EQ(model->bosTokenId(), 3);
    EXPECT_EQ(model->eosToken(), "</s>");
    EXPECT_FALSE(model->eosTokenId());
    EXPECT_TRUE(model->fuseUnknownTokens());
    // A symbol whose id is the unknown token's is replaced by its bytes.
    EXPECT_EQ(model->tokenize("<unk>"),
              (Strings{"<0x3C>", "<0x75>", "<0x6E>", "<0x6B>", "<0x3E>"}));
    EXPECT_EQ(model->tokenize("c"), (Strings{"<0x63>"}));

    const auto withoutUnknown = bpeModel(vocab, R"(["a b"])");
    EXPECT_FALSE(withoutUnknown->convertTokenToId("zzz"));
    EXPECT_EQ(withoutUnknown->tokenize("z"), (Strings{"<0x7A>"}));
    EXPECT_FALSE(withoutUnknown->fuseUnknownTokens());
}

TEST(BPETokenizer, DescriptionsWithoutMergesOrVocabularyFailToLoad) {
    EXPECT_EQ(thrownMessage([] { bpeModel(R"({"a":0})", "null"); }),
              "BPETokenizer requires merges");
    EXPECT_EQ(thrownMessage([] { bpeModel(R"(["a"])", "[]"); }),
              TokenizerError::missingVocab().what());
}

// Short pieces merge by rescanning, long ones through a queue; both must equal the plain loop.
TEST(BPETokenizer, MergingEqualsThePlainLoopOnRandomMerges) {
    std::mt19937 rng(7);
    const std::string letters = "abcd";
    for (int round = 0; round < 20; ++round) {
        // Random merges over symbols built from the letters, as training would produce them.
        Strings symbols(letters.size());
        for (std::size_t i = 0; i < letters.size(); ++i)
            symbols[i] = letters.substr(i, 1);
        std::map<std::pair<std::string, std::string>, int> ranks;
        std::vector<Strings> merges;
        for (int m = 0; m < 40; ++m) {
            const std::string& a = symbols[rng() % symbols.size()];
            const std::string& b = symbols[rng() % symbols.size()];
            merges.push_back({a, b});
            ranks[{a, b}] = m;
            if (a.size() + b.size() < 8)
                symbols.push_back(a + b);
        }
        TextToId vocab;
        for (const std::string& s : symbols)
            vocab.emplace(s, static_cast<int>(vocab.size()));
        const BPETokenizer model(std::move(vocab), merges, {});
        for (int n = 0; n < 60; ++n) {
            std::string piece;
            for (int len = static_cast<int>(rng() % 200); len > 0; --len) {
                piece.push_back(letters[rng() % letters.size()]);
            }
            ASSERT_EQ(model.bpe(piece), referenceBpe(piece, ranks)) << piece;
        }
    }
}
