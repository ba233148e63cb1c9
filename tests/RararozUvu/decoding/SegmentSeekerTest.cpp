#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../DecodingFixtures.h"
#include "rararozuvu/decoding/SegmentSeeker.h"
#include "rararozuvu/models/Constants.h"

namespace {

using rararozuvu::DecodingOptions;
using rararozuvu::DecodingResult;
using rararozuvu::SegmentSeeker;
using rararozuvu::TranscriptionSegment;
using rararozuvu::WordTiming;
using rararozuvu::testing::tinyTokenizer;

class SegmentSeekerTest : public ::testing::Test {
protected:
    const rararozuvu::WhisperTokenizer& tokenizer = *tinyTokenizer();
    const rararozuvu::SpecialTokens& special = tokenizer.specialTokens();
    const std::int64_t tb = special.timeTokenBegin;
    const std::int64_t sot = special.startOfTranscriptToken;
    const std::int64_t eot = special.endToken;
    // The first text token of a text (encoding adds the tokenizer's prompt tokens around it).
    std::int64_t textToken(std::string_view text) const {
        for (std::int64_t t : tokenizer.encode(text)) {
            if (t < special.specialTokenBegin)
                return t;
        }
        ADD_FAILURE() << "no text token for " << text;
        return 0;
    }
    const std::int64_t a = textToken(" Alpha");
    const std::int64_t b = textToken(" Bravo");
    const std::int64_t c = textToken(" Charlie");
    const std::int64_t d = textToken(" Delta");
    SegmentSeeker seeker;

    DecodingResult resultOf(std::vector<std::int64_t> tokens) const {
        DecodingResult r;
        for (std::int64_t t : tokens)
            r.tokenLogProbs.push_back({{t, -0.25f}});
        r.tokens = std::move(tokens);
        r.avgLogProb = -0.25f;
        r.temperature = 0.2f;
        r.compressionRatio = 1.5f;
        return r;
    }
};

struct SeekCase {
    std::string name;
    std::vector<std::int64_t> tokens;
    std::vector<std::pair<float, float>> times;
    std::int64_t seekAdvance;
};

TEST_F(SegmentSeekerTest, CutsWindowsAtTimestampPairs) {
    const std::vector<SeekCase> cases = {
        {"no pair", {sot, tb, a, b, tb + 120, eot}, {{0.0f, 2.4f}}, 480000},
        {"no timestamps", {sot, a, b, eot}, {{0.0f, 30.0f}}, 480000},
        {"only the zero stamp", {sot, tb, a, eot}, {{0.0f, 30.0f}}, 480000},
        {"single timestamp ending",
         {tb, a, tb + 50, tb + 50, b, tb + 100, eot},
         {{0.0f, 1.0f}, {1.0f, 2.0f}},
         32000},
        {"no timestamp ending",
         {tb, a, tb + 50, tb + 50, b, c, d},
         {{0.0f, 1.0f}, {1.0f, 1.0f}},
         480000},
        {"neither ending", {tb, a, tb + 50, tb + 50, b, eot}, {{0.0f, 1.0f}}, 16000},
    };
    const DecodingOptions options;
    for (const SeekCase& sc : cases) {
        for (const std::int64_t seek : {std::int64_t{0}, std::int64_t{480000}}) {
            const float offset = static_cast<float>(seek) / 16000.0f;
            const auto [next, segments] = seeker.findSeekPointAndSegments(
                resultOf(sc.tokens), options, 7, seek, 480000, 16000, tb, eot, tokenizer);
            EXPECT_EQ(next, seek + sc.seekAdvance) << sc.name;
            ASSERT_TRUE(segments.has_value()) << sc.name;
            ASSERT_EQ(segments->size(), sc.times.size()) << sc.name;
            std::size_t tokenCount = 0;
            for (std::size_t i = 0; i < segments->size(); ++i) {
                const TranscriptionSegment& s = (*segments)[i];
                EXPECT_EQ(s.id, 7 + static_cast<std::int64_t>(i)) << sc.name;
                EXPECT_EQ(s.seek, seek);
                EXPECT_FLOAT_EQ(s.start, offset + sc.times[i].first) << sc.name << " " << i;
                EXPECT_FLOAT_EQ(s.end, offset + sc.times[i].second) << sc.name << " " << i;
                EXPECT_EQ(s.tokenLogProbs.size(), s.tokens.size());
                EXPECT_EQ(s.text, tokenizer.decode(s.tokens));
                EXPECT_EQ(s.temperature, 0.2f);
                EXPECT_EQ(s.avgLogprob, -0.25f);
                EXPECT_EQ(s.compressionRatio, 1.5f);
                EXPECT_FALSE(s.words.has_value());
                tokenCount += s.tokens.size();
            }
            // Slices run back to back from the first token.
            EXPECT_EQ((*segments)[0].tokens.front(), sc.tokens.front()) << sc.name;
            EXPECT_LE(tokenCount, sc.tokens.size());
        }
    }
}

TEST_F(SegmentSeekerTest, SkipsSilenceAndDropsSpecialTokensFromTextOnRequest) {
    DecodingResult silent = resultOf({sot, tb, a, tb + 20, eot});
    silent.noSpeechProb = 0.9f;
    silent.avgLogProb = -2.0f;
    const auto skipped = seeker.findSeekPointAndSegments(silent, DecodingOptions(), 0, 16000,
                                                         480000, 16000, tb, eot, tokenizer);
    EXPECT_EQ(skipped.first, 496000);
    EXPECT_FALSE(skipped.second.has_value());

    // A confident decode is kept however likely the silence; so is any decode without threshold.
    silent.avgLogProb = -0.5f;
    EXPECT_TRUE(seeker
                    .findSeekPointAndSegments(silent, DecodingOptions(), 0, 0, 480000, 16000, tb,
                                              eot, tokenizer)
                    .second);
    // Confidence without a word is no speech: the window closed at once is skipped.
    DecodingResult empty = resultOf({sot, tb, eot});
    empty.noSpeechProb = 0.9f;
    empty.avgLogProb = 0.0f;
    EXPECT_FALSE(seeker
                     .findSeekPointAndSegments(empty, DecodingOptions(), 0, 0, 480000, 16000, tb,
                                               eot, tokenizer)
                     .second);
    silent.avgLogProb = -2.0f;
    DecodingOptions::Parameters p;
    p.noSpeechThreshold.reset();
    p.skipSpecialTokens = true;
    const auto kept = seeker.findSeekPointAndSegments(silent, DecodingOptions(p), 0, 0, 480000,
                                                      16000, tb, eot, tokenizer);
    ASSERT_TRUE(kept.second);
    EXPECT_EQ((*kept.second)[0].text, tokenizer.decode({a}));
}

TEST_F(SegmentSeekerTest, DynamicTimeWarpingPaths) {
    const auto matrixOf = [](std::int64_t n, std::int64_t m, std::vector<float> values) {
        ml::MultiArray matrix({n, m}, ml::MultiArrayDataType::float16);
        for (std::size_t i = 0; i < values.size(); ++i)
            matrix.data<ml::Float16>()[i] = ml::Float16(values[i]);
        return matrix;
    };
    struct Case {
        std::int64_t n, m;
        std::vector<float> weights;
        std::vector<std::int64_t> text, time;
    };
    const std::vector<Case> cases = {
        {2, 3, {1, 0, 0, 0, 0, 1}, {0, 1, 1, 1}, {0, 0, 1, 2}},
        // Ties prefer a step along the frames.
        {3, 3, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 1, 1, 2, 2}, {0, 0, 1, 1, 2}},
        {1, 1, {0.5f}, {0}, {0}},
        {3, 1, {1, 1, 1}, {0, 1, 2}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        const auto path = seeker.dynamicTimeWarping(matrixOf(c.n, c.m, c.weights));
        EXPECT_EQ(path.textIndices, c.text) << c.n << "x" << c.m;
        EXPECT_EQ(path.timeIndices, c.time) << c.n << "x" << c.m;
    }
    rararozuvu::testing::expectWhisperError(
        [&] {
            seeker.dynamicTimeWarping(ml::MultiArray({1, 2, 2}, ml::MultiArrayDataType::float16));
        },
        rararozuvu::WhisperError::Case::segmentingFailed, "Invalid alignment matrix shape");
}

TEST_F(SegmentSeekerTest, DurationConstraintsAndSentenceEnds) {
    const auto word = [](std::string text, float start, float end) {
        return WordTiming{std::move(text), {1}, start, end, 1.0f};
    };
    const auto median = seeker.calculateWordDurationConstraints(
        {word("a", 0, 0.1f), word("b", 1, 1.5f), word("c", 2, 2.3f), word("d", 3, 3)});
    EXPECT_FLOAT_EQ(median.first, 0.3f);
    EXPECT_FLOAT_EQ(median.second, 0.6f);
    // An even count takes the upper middle, capped at 0.7 s.
    const auto capped = seeker.calculateWordDurationConstraints(
        {word("a", 0, 0.2f), word("b", 0, 0.4f), word("c", 0, 0.9f), word("d", 0, 1.0f)});
    EXPECT_FLOAT_EQ(capped.first, 0.7f);
    EXPECT_FLOAT_EQ(capped.second, 1.4f);
    EXPECT_EQ(seeker.calculateWordDurationConstraints({word("a", 1, 1)}),
              std::make_pair(0.0f, 0.0f));

    const auto cut = seeker.truncateLongWordsAtSentenceBoundaries(
        {word(".", 0, 3), word("a", 3, 4), word(".", 4, 7), word("b", 7, 10), word("c", 10, 13)},
        1);
    EXPECT_EQ(cut[0].end, 3);  // the first word is never cut
    EXPECT_EQ(cut[2].end, 5);
    EXPECT_EQ(cut[3].start, 9);
    EXPECT_EQ(cut[4].start, 10);
}

TEST_F(SegmentSeekerTest, MergesPunctuationWithoutLosingWordsOrTokens) {
    std::int64_t nextToken = 1;
    const auto words = [&](std::vector<std::string> texts) {
        std::vector<WordTiming> out;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            out.push_back(WordTiming{texts[i],
                                     {nextToken++},
                                     static_cast<float>(i),
                                     static_cast<float>(i) + 0.5f,
                                     0.5f});
        }
        return out;
    };
    struct Case {
        std::vector<std::string> input;
        std::vector<std::string> output;
        std::vector<std::vector<std::int64_t>> tokens;  // relative to the first token
        std::vector<float> starts;
    };
    const std::vector<Case> cases = {
        {{" (", "hello"}, {" (hello"}, {{0, 1}}, {1}},
        {{" hello", ","}, {" hello,"}, {{0, 1}}, {0}},
        {{" hello", "?", "!"}, {" hello?!"}, {{0, 1, 2}}, {0}},
        {{" word ", ",", " next"}, {" word ", " next"}, {{0, 1}, {2}}, {0, 2}},
        {{" (", " (", "x", " y"}, {" ( (x", " y"}, {{0, 1, 2}, {3}}, {2, 3}},
        {{"\"", " hi", " there"}, {" hi", " there"}, {{0, 1}, {2}}, {1, 2}},
        {{" a", " b", " ("}, {" a", " b", " ("}, {{0}, {1}, {2}}, {0, 1, 2}},
    };
    for (const Case& c : cases) {
        const std::int64_t base = nextToken;
        const auto merged = seeker.mergePunctuations(
            words(c.input), rararozuvu::Constants::defaultPrependPunctuations,
            rararozuvu::Constants::defaultAppendPunctuations);
        ASSERT_EQ(merged.size(), c.output.size()) << c.input.front();
        for (std::size_t i = 0; i < merged.size(); ++i) {
            EXPECT_EQ(merged[i].word, c.output[i]);
            std::vector<std::int64_t> expected;
            for (std::int64_t t : c.tokens[i])
                expected.push_back(base + t);
            EXPECT_EQ(merged[i].tokens, expected) << c.output[i];
            EXPECT_EQ(merged[i].start, c.starts[i]) << c.output[i];
        }
    }
}

TEST_F(SegmentSeekerTest, TimesWordsAlongTheAttentionAndFitsSegmentsToThem) {
    const std::int64_t hello = textToken(" hello");
    const std::int64_t world = textToken(" world");
    const std::int64_t again = textToken(" again");
    // Two segments of one window starting 30 s into the audio.
    const DecodingResult decoded =
        resultOf({sot, tb, hello, world, tb + 50, tb + 50, again, tb + 100, eot});
    const auto [next, segments] = seeker.findSeekPointAndSegments(
        decoded, DecodingOptions(), 0, 480000, 480000, 16000, tb, eot, tokenizer);
    ASSERT_TRUE(segments);
    ASSERT_EQ(segments->size(), 2u);
    EXPECT_EQ(next, 480000 + 32000);

    // Each token attends to its own stretch of frames: token k to frames 10k .. 10k + 9.
    constexpr std::int64_t kRows = 224;
    constexpr std::int64_t kFrames = 1500;
    ml::MultiArray weights({kRows, kFrames}, ml::MultiArrayDataType::float16);
    for (std::int64_t row = 0; row < 9; ++row) {
        for (std::int64_t f = row * 10; f < row * 10 + 10; ++f) {
            weights.data<ml::Float16>()[row * kFrames + f] = ml::Float16(1.0f);
        }
    }
    const auto timed = seeker.addWordTimestamps(*segments, weights, tokenizer, 480000, 480000,
                                                rararozuvu::Constants::defaultPrependPunctuations,
                                                rararozuvu::Constants::defaultAppendPunctuations,
                                                29.0f, DecodingOptions(), {});
    ASSERT_TRUE(timed);
    ASSERT_EQ(timed->size(), 2u);
    std::vector<std::string> texts;
    float previousEnd = 30.0f;
    for (const TranscriptionSegment& s : *timed) {
        ASSERT_TRUE(s.words.has_value());
        for (const WordTiming& w : *s.words) {
            texts.push_back(w.word);
            EXPECT_GE(w.start, previousEnd - 0.01f) << w.word;
            EXPECT_LE(w.start, w.end) << w.word;
            EXPECT_GE(w.start, s.start);
            EXPECT_LE(w.end, s.end);
            EXPECT_NEAR(w.probability, 0.78f, 0.005f);  // exp(-0.25), rounded
            for (std::int64_t t : w.tokens)
                EXPECT_LT(t, special.specialTokenBegin);
            previousEnd = w.end;
        }
    }
    EXPECT_EQ(texts, (std::vector<std::string>{" hello", " world", " again"}));
    EXPECT_EQ((*timed)[0].words->size(), 2u);
    // Times are absolute: the words sit in the window's first two seconds after 30 s.
    EXPECT_GT((*timed)[0].words->front().start, 30.0f);
    EXPECT_LT((*timed)[1].words->back().end, 32.0f);
}

TEST_F(SegmentSeekerTest, OneWordGivesNoTimingsAndEmptyWindowsStayAsTheyAre) {
    TranscriptionSegment one;
    one.start = 1;
    one.end = 2;
    one.tokens = {a};
    one.tokenLogProbs = {{{a, -0.1f}}};
    const ml::MultiArray weights({4, 10}, ml::MultiArrayDataType::float16);
    const auto timed = seeker.addWordTimestamps({one}, weights, tokenizer, 0, 480000, "", "", 0,
                                                DecodingOptions(), {});
    ASSERT_TRUE(timed);
    ASSERT_EQ(timed->size(), 1u);
    EXPECT_EQ((*timed)[0].words, std::vector<WordTiming>{});
    EXPECT_EQ((*timed)[0].start, 1);
    EXPECT_EQ((*timed)[0].end, 2);

    const auto none = seeker.addWordTimestamps({}, weights, tokenizer, 0, 480000, "", "", 0,
                                               DecodingOptions(), {});
    EXPECT_EQ(none, std::vector<TranscriptionSegment>{});
}

}  // namespace
