#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "vevidocore/AbsolutePath.h"
#include "vevidocore/Batching.h"
#include "vevidocore/Deduplication.h"
#include "vevidocore/GlobMatching.h"
#include "vevidocore/NaturalBoundary.h"
#include "vevidocore/Rounding.h"
#include "vevidocore/TextTrimming.h"

namespace vevidocore {
namespace {

TEST(RoundingTest, RoundsToPlacesWithHalvesAwayFromZero) {
    struct Case {
        float value;
        int places;
        float expected;
    };
    const Case cases[] = {
        {3.14159f, 2, 3.14f},   {2.5f, 0, 3.0f},    {-2.5f, 0, -3.0f},   {1234.0f, -1, 1230.0f},
        {1250.0f, -2, 1300.0f}, {0.125f, 2, 0.13f}, {-0.004f, 2, -0.0f}, {7.0f, 3, 7.0f},
    };
    for (const auto& c : cases) {
        EXPECT_FLOAT_EQ(rounded(c.value, c.places), c.expected) << c.value << " to " << c.places;
    }
}

TEST(AbsolutePathTest, ExpandsHomeAndAnchorsRelativePaths) {
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    const std::string current = std::filesystem::current_path().string();

    EXPECT_EQ(resolveAbsolutePath("~/Models"), std::string(home) + "/Models");
    EXPECT_EQ(resolveAbsolutePath("~"), home);
    EXPECT_EQ(resolveAbsolutePath("/var/models"), "/var/models");
    EXPECT_EQ(resolveAbsolutePath("models"), current + "/models");
    EXPECT_EQ(resolveAbsolutePath("a/b"), current + "/a/b");
    // Another user's home, and a user that does not exist (left as a relative name).
    EXPECT_EQ(resolveAbsolutePath("~root/x"), "/root/x");
    EXPECT_EQ(resolveAbsolutePath("~no-such-user-here/x"), current + "/~no-such-user-here/x");
}

TEST(BatchingTest, SplitsInOrderWithAShorterLastBatch) {
    using Batches = std::vector<std::vector<int>>;
    const std::vector<int> list{1, 2, 3, 4, 5};
    EXPECT_EQ(batched(list, 2), (Batches{{1, 2}, {3, 4}, {5}}));
    EXPECT_EQ(batched(list, 10), (Batches{{1, 2, 3, 4, 5}}));
    EXPECT_EQ(batched(list, 1), (Batches{{1}, {2}, {3}, {4}, {5}}));
    EXPECT_EQ(batched(std::vector<int>{}, 3), Batches{});
    EXPECT_EQ(batched(list, 0), Batches{});
    EXPECT_EQ(batched(list, -1), Batches{});
    EXPECT_EQ(batched(list, PTRDIFF_MAX), (Batches{{1, 2, 3, 4, 5}}));
}

TEST(DeduplicationTest, KeepsFirstOccurrencesInOrder) {
    EXPECT_EQ(orderedSet(std::vector<int>{3, 1, 3, 2, 1}), (std::vector<int>{3, 1, 2}));
    EXPECT_EQ(orderedSet(std::vector<std::string>{"tiny", "base", "tiny"}),
              (std::vector<std::string>{"tiny", "base"}));
    EXPECT_TRUE(orderedSet(std::vector<int>{}).empty());
}

TEST(GlobMatchingTest, MatchesLikeFnmatchWithoutFlags) {
    const std::vector<std::string> names{"openai_whisper-base", "openai_whisper-base.en",
                                         "openai_whisper-tiny"};
    EXPECT_EQ(matching(names, "*base*"),
              (std::vector<std::string>{"openai_whisper-base", "openai_whisper-base.en"}));
    EXPECT_EQ(matching(names, "*tiny"), (std::vector<std::string>{"openai_whisper-tiny"}));
    EXPECT_TRUE(matching(names, "base").empty());
    // Without flags "*" crosses "/" and a leading ".", and a backslash quotes.
    EXPECT_EQ(matching({"a/b/c", ".hidden", "a*b", "axb"}, "a*c"),
              (std::vector<std::string>{"a/b/c"}));
    EXPECT_EQ(matching({".hidden"}, "*hidden"), (std::vector<std::string>{".hidden"}));
    EXPECT_EQ(matching({"a*b", "axb"}, "a\\*b"), (std::vector<std::string>{"a*b"}));
}

TEST(TextTrimmingTest, RemovesUpToCountOfTheCharacter) {
    struct Case {
        std::string text;
        std::string character;
        int upto;
        std::string expected;
    };
    const Case cases[] = {
        {"a///", "/", 2, "a/"},
        {"a///", "/", 3, "a"},
        {"a///", "/", 10, "a"},
        {"a/b", "/", 5, "a/b"},
        {"a///", "/", 0, "a///"},
        {"a///", "/", -1, "a///"},
        {"", "/", 3, ""},
        {"///", "/", 3, ""},
        // Characters compare by canonical equivalence and as whole user-perceived characters.
        {"cafe\u0301", "\u00e9", 1, "caf"},
        {"caf\u00e9\u00e9", "e\u0301", 2, "caf"},
        {"cafe\u0301", "e", 1, "cafe\u0301"},
        {"x\r\n", "\n", 1, "x\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(trimmingFromEnd(c.text, c.character, c.upto), c.expected)
            << "'" << c.text << "' " << c.upto;
    }
}

std::vector<int> wordTokens(const std::string& text) {
    std::istringstream words(text);
    std::vector<int> tokens;
    for (std::string word; words >> word;) {
        tokens.push_back(static_cast<int>(tokens.size()));
    }
    return tokens;
}

TEST(NaturalBoundaryTest, PrefersSentenceThenClauseThenBlank) {
    struct Case {
        std::string text;
        int minimum;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"One. Two three four", 1, "One."},
        {"One. Two three four", 3, "One. Two three"},
        {"One. Two three four", 5, std::nullopt},
        {"A b c. D! e f", 3, "A b c. D!"},
        {"Hi. Alpha beta, gamma delta", 3, "Hi. Alpha beta,"},
        {"  Alpha beta, gamma delta", 2, "Alpha beta,"},
        {"one two \u2013 three", 2, "one two \u2013"},
        {"First line\nsecond", 2, "First line"},
        {"single", 1, std::nullopt},
        {"", 0, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lastNaturalBoundary(c.text, c.minimum, wordTokens), c.expected)
            << "'" << c.text << "' " << c.minimum;
    }
}

}  // namespace
}  // namespace vevidocore
