#include "rararozuvu/results/TranscriptionResult.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <unordered_set>

#include "../LogCapture.h"
#include "rararozuvu/decoding/TranscriptionProgress.h"
#include "rararozuvu/results/DecodingError.h"
#include "rararozuvu/results/EncodingError.h"
#include "rararozuvu/results/TranscriptionResultStruct.h"
#include "rararozuvu/transcription/TranscriptionState.h"

namespace rararozuvu {
namespace {

using testing::LogCapture;
using vevidocore::Logging;

WordTiming word(std::string text, float start, float end) {
    return WordTiming{std::move(text), {1, 2}, start, end, 0.9f};
}

TranscriptionSegment segment(std::int64_t id, float start, float end, std::string text,
                             std::optional<std::vector<WordTiming>> words = std::nullopt) {
    TranscriptionSegment s;
    s.id = id;
    s.seek = 480000;
    s.start = start;
    s.end = end;
    s.text = std::move(text);
    s.tokens = {50363, 440, 50413};
    s.tokenLogProbs = {{{50363, -0.5f}}, {{440, -0.25f}}, {{50413, -1.0f}}};
    s.temperature = 0.2f;
    s.avgLogprob = -0.5f;
    s.compressionRatio = 1.5f;
    s.noSpeechProb = 0.125f;
    s.words = std::move(words);
    return s;
}

TEST(TranscriptionSegmentTest, EqualityAndHashingFollowEveryField) {
    const TranscriptionSegment base =
        segment(0, 1.25f, 2.5f, " Hello", std::vector{word("Hello", 1.25f, 2.5f)});
    std::hash<TranscriptionSegment> hash;

    TranscriptionSegment same = base;
    same.start = 1.25f;
    EXPECT_EQ(same, base);
    EXPECT_EQ(hash(same), hash(base));

    TranscriptionSegment zero = base;
    TranscriptionSegment negativeZero = base;
    zero.temperature = 0.0f;
    negativeZero.temperature = -0.0f;
    EXPECT_EQ(zero, negativeZero);
    EXPECT_EQ(hash(zero), hash(negativeZero));

    TranscriptionSegment logProb = base;
    logProb.tokenLogProbs[1][440] = -0.26f;
    EXPECT_NE(logProb, base);

    TranscriptionSegment nan = base;
    nan.avgLogprob = std::numeric_limits<float>::quiet_NaN();
    EXPECT_NE(nan, nan);

    TranscriptionSegment noWords = base;
    noWords.words.reset();
    TranscriptionSegment emptyWords = base;
    emptyWords.words.emplace();
    EXPECT_NE(noWords, emptyWords);
    EXPECT_NE(hash(noWords), hash(emptyWords));

    EXPECT_FLOAT_EQ(base.duration(), 1.25f);
    EXPECT_FLOAT_EQ(word("a", 1.0f, 1.75f).duration(), 0.75f);
    EXPECT_EQ(std::unordered_set<WordTiming>({word("a", 0, 1), word("a", 0, 1)}).size(), 1u);
}

TEST(TranscriptionSegmentTest, JsonWritesWordsOnlyWhenPresent) {
    const TranscriptionSegment withoutWords = segment(3, 0, 1, "x");
    EXPECT_EQ(withoutWords.toJson(),
              R"({"id":3,"seek":480000,"start":0,"end":1,"text":"x","tokens":[50363,440,50413],)"
              R"("tokenLogProbs":[{"50363":-0.5},{"440":-0.25},{"50413":-1}],"temperature":0.2,)"
              R"("avgLogprob":-0.5,"compressionRatio":1.5,"noSpeechProb":0.125})");
    EXPECT_EQ(TranscriptionSegment::fromJson(withoutWords.toJson()), withoutWords);

    const TranscriptionSegment emptyWords = segment(3, 0, 1, "x", std::vector<WordTiming>{});
    EXPECT_NE(emptyWords.toJson().find(R"("words":[])"), std::string::npos);
    EXPECT_EQ(TranscriptionSegment::fromJson(emptyWords.toJson()), emptyWords);

    const WordTiming w = word("Hi", 0.5f, 0.75f);
    EXPECT_EQ(w.toJson(),
              R"({"word":"Hi","tokens":[1,2],"start":0.5,"end":0.75,"probability":0.9})");
    EXPECT_EQ(WordTiming::fromJson(w.toJson()), w);
    EXPECT_THROW(WordTiming::fromJson(R"({"word":"Hi","tokens":[],"start":0,"end":1})"),
                 DecodingError);
    EXPECT_THROW(TranscriptionSegment::fromJson(R"({"id":1})"), DecodingError);
}

TEST(TranscriptionResultTest, JsonWritesAbsentSeekTimeAsNullAndRequiresTheKey) {
    const TranscriptionResult result(" Hello", {segment(0, 0, 1, " Hello")}, "en",
                                     TranscriptionTimings{}, std::nullopt);
    const std::string json = result.toJson();
    ASSERT_EQ(json.rfind(R"(,"seekTime":null})"), json.size() - 17);
    EXPECT_EQ(json.find(R"({"text":" Hello","segments":[{"id":0,)"), 0u);
    EXPECT_NE(json.find(R"("language":"en","timings":{"pipelineStart":1.7976931348623157e+308,)"),
              std::string::npos);

    const auto read = TranscriptionResult::fromJson(json);
    EXPECT_EQ(read->text(), " Hello");
    EXPECT_EQ(read->segments(), result.segments());
    EXPECT_FALSE(read->seekTime());
    EXPECT_EQ(read->toJson(), json);

    std::string missing = json;
    missing.erase(missing.rfind(R"(,"seekTime":null)"), 16);
    try {
        TranscriptionResult::fromJson(missing);
        ADD_FAILURE();
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.kind(), DecodingError::Kind::keyNotFound);
    }

    // The value twin leaves the key out and reads it either way.
    const TranscriptionResultStruct twin{" Hello", {}, "en", {}, std::nullopt};
    EXPECT_EQ(twin.toJson().find("seekTime"), std::string::npos);
    EXPECT_FALSE(TranscriptionResultStruct::fromJson(twin.toJson()).seekTime);
    EXPECT_FALSE(TranscriptionResultStruct::fromJson(json).seekTime);
    const TranscriptionResultStruct seeking{"", {}, "en", {}, 2.5f};
    EXPECT_EQ(TranscriptionResultStruct::fromJson(seeking.toJson()).seekTime, 2.5f);
}

TEST(TranscriptionResultTest, NonFiniteNumbersFailToEncode) {
    TranscriptionSegment broken = segment(0, 0, 1, "x");
    broken.avgLogprob = std::numeric_limits<float>::quiet_NaN();
    const TranscriptionResult result("x", {broken}, "en", {}, 1.0f);
    EXPECT_THROW((void)result.toJson(), EncodingError);
}

TEST(TranscriptionResultTest, FieldsAreReadAndChangedUnderTheirLocks) {
    TranscriptionResult result("", {}, "en", {}, std::nullopt);
    constexpr int writers = 4;
    constexpr int appends = 250;
    std::vector<std::jthread> threads;
    for (int t = 0; t < writers; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < appends; ++i) {
                result.modifyText([](std::string& text) { text += "a"; });
                result.modifyTimings(
                    [](TranscriptionTimings& timings) { timings.fullPipeline += 1; });
            }
        });
    }
    threads.clear();
    EXPECT_EQ(result.text().size(), std::size_t{writers * appends});
    EXPECT_EQ(result.timings().fullPipeline, writers * appends);

    result.setSeekTime(3.5f);
    result.setLanguage("de");
    EXPECT_EQ(result.seekTime(), 3.5f);
    EXPECT_EQ(result.language(), "de");
}

TEST(TranscriptionResultTest, AllWordsJoinTheWordsOfEverySegment) {
    const TranscriptionResult empty("", {}, "en", {}, std::nullopt);
    EXPECT_TRUE(empty.allWords().empty());

    const TranscriptionResult result(
        "",
        {segment(0, 0, 1, "a", std::vector{word("a", 0, 1)}), segment(1, 1, 2, "b"),
         segment(2, 2, 3, "c d", std::vector{word("c", 2, 2.5f), word("d", 2.5f, 3)})},
        "en", {}, std::nullopt);
    const std::vector<WordTiming> words = result.allWords();
    ASSERT_EQ(words.size(), 3u);
    EXPECT_EQ(words[0].word, "a");
    EXPECT_EQ(words[2].word, "d");
}

TEST(TranscriptionResultTest, SegmentLogNumbersLinesByPosition) {
    {
        LogCapture log(Logging::LogLevel::debug);
        TranscriptionResult("", {}, "en", {}, std::nullopt).logSegments();
        EXPECT_TRUE(log.lines.empty());
    }
    const TranscriptionResult result(
        "", {segment(7, 1.25f, 2.5f, " Ask not"), segment(8, 2.5f, 10.0f, "what")}, "en", {},
        std::nullopt);
    {
        LogCapture log(Logging::LogLevel::debug);
        result.logSegments();
        EXPECT_EQ(log.lines, (std::vector<std::string>{"[Segment 0] [1.25 --> 2.50]  Ask not",
                                                       "[Segment 1] [2.50 --> 10.00] what"}));
    }
    LogCapture quiet(Logging::LogLevel::info);
    result.logSegments();
    EXPECT_TRUE(quiet.lines.empty());
}

TEST(TranscriptionStateTest, DescriptionsAreWords) {
    EXPECT_EQ(description(TranscriptionState::convertingAudio), "Converting Audio");
    EXPECT_EQ(description(TranscriptionState::transcribing), "Transcribing");
    EXPECT_EQ(description(TranscriptionState::finished), "Finished");
}

}  // namespace
}  // namespace rararozuvu
