#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "../DecodingFixtures.h"
#include "rararozuvu/decoding/GreedyTokenSampler.h"

namespace {

using rararozuvu::DecodingOptions;
using rararozuvu::GreedyTokenSampler;
using rararozuvu::testing::logitsOf;

constexpr float kMinusInfinity = -std::numeric_limits<float>::infinity();
constexpr std::int64_t kEot = 9;

// log softmax(scores / t)[id] in double precision.
double logSoftmax(const std::vector<float>& scores, double t, std::size_t id) {
    double best = -std::numeric_limits<double>::infinity();
    for (float s : scores)
        best = std::max(best, s / t);
    double sum = 0;
    for (float s : scores)
        sum += std::exp(s / t - best);
    return scores[id] / t - best - std::log(sum);
}

DecodingOptions withTopK(std::int64_t k) {
    DecodingOptions::Parameters p;
    p.topK = k;
    return DecodingOptions(p);
}

const std::vector<float> kScores = {0.5f, 2.0f, -1.0f, 1.75f, kMinusInfinity,
                                    0.0f, 1.0f, 0.25f, -3.0f, 1.5f};

TEST(GreedyTokenSampler, ArgMaxAtZeroWithTheLogProbabilityOfTheWholeVocabulary) {
    GreedyTokenSampler sampler(ml::Float16(0.0f), kEot, DecodingOptions());
    const auto result = sampler.update({1, 2}, logitsOf(kScores), {0.0f, -0.5f});
    EXPECT_EQ(result.tokens, (std::vector<std::int64_t>{1, 2, 1}));
    ASSERT_EQ(result.logProbs.size(), 3u);
    EXPECT_EQ(result.logProbs[1], -0.5f);
    EXPECT_NEAR(result.logProbs[2], logSoftmax(kScores, 1, 1), 1e-5);
    EXPECT_FALSE(result.completed);

    std::vector<float> endFirst = kScores;
    endFirst[kEot] = 5;
    EXPECT_TRUE(sampler.update({}, logitsOf(endFirst), {}).completed);
}

TEST(GreedyTokenSampler, DrawsFromTheTopKOfTheTemperedDistribution) {
    // k = 1 always takes the best; the log-probability is that of the tempered softmax.
    GreedyTokenSampler single(ml::Float16(0.5f), kEot, withTopK(1));
    for (int i = 0; i < 20; ++i) {
        const auto [token, logProb] = single.sample(logitsOf(kScores));
        EXPECT_EQ(token, 1);
        EXPECT_NEAR(logProb, logSoftmax(kScores, 0.5, 1), 1e-3);
    }

    // Seeded samplers repeat each other; draws stay among the k best finite scores and the
    // likelier candidates come up more often.
    GreedyTokenSampler a(ml::Float16(1.0f), kEot, withTopK(3), 1234);
    GreedyTokenSampler b(ml::Float16(1.0f), kEot, withTopK(3), 1234);
    std::map<std::int64_t, int> counts;
    for (int i = 0; i < 400; ++i) {
        const auto drawn = a.sample(logitsOf(kScores));
        EXPECT_EQ(drawn, b.sample(logitsOf(kScores)));
        EXPECT_NEAR(drawn.second, logSoftmax(kScores, 1, static_cast<std::size_t>(drawn.first)),
                    1e-3);
        ++counts[drawn.first];
    }
    EXPECT_EQ(counts.size(), 3u);
    EXPECT_GT(counts[1], counts[9]);
    EXPECT_EQ(counts.count(4), 0u);

    // Fewer finite scores than k: a suppressed token is never drawn.
    std::vector<float> twoLeft(10, kMinusInfinity);
    twoLeft[2] = 0;
    twoLeft[6] = 0;
    GreedyTokenSampler wide(ml::Float16(1.0f), kEot, withTopK(5), 7);
    std::set<std::int64_t> seen;
    for (int i = 0; i < 50; ++i)
        seen.insert(wide.sample(logitsOf(twoLeft)).first);
    EXPECT_EQ(seen, (std::set<std::int64_t>{2, 6}));
}

TEST(GreedyTokenSampler, FinalizeClosesTheSequenceOnce) {
    GreedyTokenSampler sampler(ml::Float16(0.0f), kEot, DecodingOptions());
    const auto empty = sampler.finalize({}, {});
    EXPECT_EQ(empty.tokens, std::vector<std::int64_t>{kEot});
    EXPECT_EQ(empty.logProbs, std::vector<float>{0.0f});
    EXPECT_TRUE(empty.completed);
    const auto closed = sampler.finalize({3, kEot}, {-1.0f, -2.0f});
    EXPECT_EQ(closed.tokens, (std::vector<std::int64_t>{3, kEot}));
    EXPECT_EQ(closed.logProbs, (std::vector<float>{-1.0f, -2.0f}));
    EXPECT_TRUE(closed.completed);
}

TEST(GreedyTokenSampler, NothingToDrawIsAnError) {
    const std::vector<float> allSuppressed(10, kMinusInfinity);
    for (float t : {0.0f, 1.0f}) {
        GreedyTokenSampler sampler(ml::Float16(t), kEot, DecodingOptions(), 1);
        EXPECT_THROW(sampler.sample(logitsOf(allSuppressed)), rararozuvu::WhisperError) << t;
    }
}

}  // namespace
