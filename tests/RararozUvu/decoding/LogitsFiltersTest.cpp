#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "../DecodingFixtures.h"
#include "rararozuvu/decoding/LanguageLogitsFilter.h"
#include "rararozuvu/decoding/SuppressBlankFilter.h"
#include "rararozuvu/decoding/SuppressTokensFilter.h"
#include "rararozuvu/decoding/TimestampRulesFilter.h"

namespace {

using rararozuvu::SpecialTokens;
using rararozuvu::testing::logitsOf;
using rararozuvu::testing::suppressedIds;

// A small vocabulary: text 0-9, end of text 10, start of transcript 11, translate 12,
// transcribe 13, no timestamps 14, timestamps 15-29.
constexpr std::int64_t kEnd = 10;
constexpr std::int64_t kStart = 11;
constexpr std::int64_t kTranslate = 12;
constexpr std::int64_t kTranscribe = 13;
constexpr std::int64_t kNoTimestamps = 14;
constexpr std::int64_t kTime = 15;
constexpr std::int64_t kVocabulary = 30;

SpecialTokens smallVocabulary() {
    SpecialTokens s;
    s.endToken = kEnd;
    s.specialTokenBegin = kEnd;
    s.startOfTranscriptToken = kStart;
    s.translateToken = kTranslate;
    s.transcribeToken = kTranscribe;
    s.noTimestampsToken = kNoTimestamps;
    s.timeTokenBegin = kTime;
    s.whitespaceToken = 3;
    s.englishToken = 16;
    return s;
}

// Text and control scores 0, timestamps `timestampScore`.
std::vector<float> scores(float timestampScore) {
    std::vector<float> s(kVocabulary, 0.0f);
    for (std::int64_t i = kTime; i < kVocabulary; ++i)
        s[static_cast<std::size_t>(i)] = timestampScore;
    return s;
}

struct TimestampCase {
    std::string name;
    bool multilingual;
    std::int64_t sampleBegin;
    std::vector<std::int64_t> tokens;
    float timestampScore;
    std::function<bool(std::int64_t)> forbidden;
};

TEST(TimestampRulesFilter, EnforcesTheTimestampGrammar) {
    const auto none = [](std::int64_t) { return false; };
    const auto timestamps = [](std::int64_t id) { return id >= kTime; };
    const std::vector<TimestampCase> cases = {
        {"before the sample begin", false, 2, {kStart}, -10, none},
        {"first sampled position",
         false,
         2,
         {kStart, kTime},
         -10,
         [](std::int64_t id) { return id == kNoTimestamps; }},
        {"timestamp mass beats the best text token",
         false,
         2,
         {kStart, kTime},
         0,
         [](std::int64_t id) { return id < kTime; }},
        {"one sampled timestamp",
         false,
         2,
         {kStart, kTime, kTime + 10},
         -10,
         [&](std::int64_t id) { return id == kNoTimestamps || timestamps(id); }},
        {"timestamp then text",
         false,
         2,
         {kStart, kTime, kTime + 10, 5},
         -10,
         [](std::int64_t id) { return id == kNoTimestamps || (id >= kTime && id < kTime + 11); }},
        {"text then timestamp",
         false,
         2,
         {kStart, kTime, 5, kTime + 10},
         -10,
         [](std::int64_t id) {
             return id < kEnd || id == kNoTimestamps || (id >= kTime && id < kTime + 10);
         }},
        {"closed pair",
         false,
         2,
         {kStart, kTime, kTime + 10, kTime + 12},
         -10,
         [&](std::int64_t id) { return id == kNoTimestamps || timestamps(id); }},
        {"multilingual without a task token", true, 2, {kStart, 16, 17, kTime + 10}, -10, none},
        {"multilingual starts after the task token",
         true,
         3,
         {kStart, 16, kTranscribe},
         -10,
         [](std::int64_t id) { return id == kNoTimestamps; }},
        {"multilingual sample begin past the task", true, 4, {kStart, 16, kTranslate}, -10, none},
    };
    for (const TimestampCase& c : cases) {
        rararozuvu::TimestampRulesFilter filter(smallVocabulary(), c.sampleBegin, c.multilingual);
        const ml::MultiArray logits = logitsOf(scores(c.timestampScore));
        const ml::MultiArray out = filter.filterLogits(logits, c.tokens);
        EXPECT_TRUE(out.sharesStorageWith(logits)) << c.name;
        const std::vector<bool> suppressed = suppressedIds(out);
        for (std::int64_t id = 0; id < kVocabulary; ++id) {
            EXPECT_EQ(suppressed[static_cast<std::size_t>(id)], c.forbidden(id))
                << c.name << ": id " << id;
        }
    }
}

TEST(TimestampRulesFilter, MassRuleComparesTotalsAndNeverHoldsWithoutTimestamps) {
    rararozuvu::TimestampRulesFilter filter(smallVocabulary(), 0, false);
    // Fifteen timestamps at -2 hold 15e^-2 ≈ 2.03 against one text token at 0.
    std::vector<float> s = scores(-2);
    for (std::int64_t i = 0; i < kTime; ++i)
        s[static_cast<std::size_t>(i)] = -30;
    s[4] = 0;
    EXPECT_TRUE(filter.timestampMassDominates(logitsOf(s)));
    s[4] = 1;  // e ≈ 2.72 beats them
    EXPECT_FALSE(filter.timestampMassDominates(logitsOf(s)));

    std::vector<float> none = scores(-std::numeric_limits<float>::infinity());
    EXPECT_FALSE(filter.timestampMassDominates(logitsOf(none)));
    // Every text token gone: the timestamps win.
    std::vector<float> onlyTimestamps = scores(-5);
    for (std::int64_t i = 0; i < kTime; ++i) {
        onlyTimestamps[static_cast<std::size_t>(i)] = -std::numeric_limits<float>::infinity();
    }
    EXPECT_TRUE(filter.timestampMassDominates(logitsOf(onlyTimestamps)));
}

TEST(SuppressFilters, BlankActsOnceAndTokensAlways) {
    rararozuvu::SuppressBlankFilter blank(smallVocabulary(), 2);
    const std::vector<bool> untouched(kVocabulary, false);
    EXPECT_EQ(suppressedIds(blank.filterLogits(logitsOf(scores(0)), {kStart})), untouched);
    EXPECT_EQ(suppressedIds(blank.filterLogits(logitsOf(scores(0)), {kStart, kTime, 5})),
              untouched);
    const std::vector<bool> first =
        suppressedIds(blank.filterLogits(logitsOf(scores(0)), {kStart, kTime}));
    for (std::int64_t id = 0; id < kVocabulary; ++id) {
        EXPECT_EQ(first[static_cast<std::size_t>(id)], id == 3 || id == kEnd) << id;
    }

    // Ids outside the vocabulary (-1 is a common placeholder in suppression lists) are skipped.
    rararozuvu::SuppressTokensFilter tokens({2, 7, 2, -1, kVocabulary});
    const std::vector<bool> out = suppressedIds(tokens.filterLogits(logitsOf(scores(0)), {}));
    for (std::int64_t id = 0; id < kVocabulary; ++id) {
        EXPECT_EQ(out[static_cast<std::size_t>(id)], id == 2 || id == 7) << id;
    }
}

TEST(LanguageLogitsFilter, LeavesOnlyLanguagesFromTheSampleBegin) {
    rararozuvu::LanguageLogitsFilter filter({16, 17, 20}, kVocabulary, 1);
    EXPECT_EQ(filter.nonLanguageTokenIndexes,
              (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 16}, {18, 20}, {21, 30}}));
    EXPECT_EQ(suppressedIds(filter.filterLogits(logitsOf(scores(0)), {})),
              std::vector<bool>(kVocabulary, false));
    for (const auto& tokens :
         {std::vector<std::int64_t>{kStart}, std::vector<std::int64_t>{kStart, 16}}) {
        const std::vector<bool> out =
            suppressedIds(filter.filterLogits(logitsOf(scores(0)), tokens));
        for (std::int64_t id = 0; id < kVocabulary; ++id) {
            EXPECT_EQ(out[static_cast<std::size_t>(id)], id != 16 && id != 17 && id != 20) << id;
        }
    }
}

}  // namespace
