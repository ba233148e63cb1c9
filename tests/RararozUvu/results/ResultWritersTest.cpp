#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "../PipelineFixtures.h"
#include "rararozuvu/results/ResultWriting.h"

namespace rararozuvu {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TranscriptionSegment segment(float start, float end, std::string text,
                             std::optional<std::vector<WordTiming>> words = std::nullopt) {
    TranscriptionSegment s;
    s.start = start;
    s.end = end;
    s.text = std::move(text);
    s.words = std::move(words);
    return s;
}

TranscriptionResult resultWith(std::vector<TranscriptionSegment> segments) {
    return TranscriptionResult(" Hi there", std::move(segments), "en", TranscriptionTimings{},
                               1.5f);
}

TEST(ResultWriters, FormatTimes) {
    const WriteSRT writer("/nowhere");
    const struct {
        float seconds;
        const char* srt;
        const char* vtt;
    } cases[] = {
        {0.0f, "00:00:00,000", "00:00.000"},
        {75.5f, "00:01:15,500", "01:15.500"},
        {3725.5f, "01:02:05,500", "01:02:05.500"},
        {2.3f, "00:00:02,299", "00:02.299"},  // milliseconds are truncated
    };
    for (const auto& c : cases) {
        EXPECT_EQ(writer.formatTime(c.seconds, true, ","), c.srt);
        EXPECT_EQ(writer.formatTime(c.seconds, false, "."), c.vtt);
    }
}

TEST(ResultWriters, WriteExactCuesPerSegmentOrPerWord) {
    const testing::ScratchFolder folder;
    const std::vector<WordTiming> words{{" One", {1}, 3.0f, 3.5f, 0.9f},
                                        {" two", {2}, 3.5f, 4.0f, 0.9f},
                                        {" three", {3}, 4.0f, 4.25f, 0.9f}};
    const TranscriptionResult result =
        resultWith({segment(0.0f, 2.5f, " Hi", std::vector<WordTiming>{}),
                    segment(3.0f, 4.25f, " One two three", words), segment(5.0f, 6.0f, " Bye")});

    WriteSRT srt(folder.path().string());
    const Result<std::string> srtURL = srt.write(result, "talk");
    ASSERT_TRUE(srtURL.isSuccess()) << srtURL.errorDescription();
    EXPECT_EQ(srtURL.get(), "file://" + (folder.path() / "talk.srt").string());
    EXPECT_EQ(readFile(folder.path() / "talk.srt"),
              "1\n00:00:00,000 --> 00:00:02,500\n Hi\n\n"
              "2\n00:00:03,000 --> 00:00:03,500\n One\n\n"
              "3\n00:00:03,500 --> 00:00:04,000\n two\n\n"
              "4\n00:00:04,000 --> 00:00:04,250\n three\n\n"
              "5\n00:00:05,000 --> 00:00:06,000\n Bye\n\n");

    WriteVTT vtt(folder.path().string());
    ASSERT_TRUE(vtt.write(result, "talk").isSuccess());
    EXPECT_EQ(readFile(folder.path() / "talk.vtt"),
              "WEBVTT\n\n"
              "00:00.000 --> 00:02.500\n Hi\n\n"
              "00:03.000 --> 00:03.500\n One\n\n"
              "00:03.500 --> 00:04.000\n two\n\n"
              "00:04.000 --> 00:04.250\n three\n\n"
              "00:05.000 --> 00:06.000\n Bye\n\n");

    const TranscriptionResult empty = resultWith({});
    ASSERT_TRUE(srt.write(empty, "empty").isSuccess());
    ASSERT_TRUE(vtt.write(empty, "empty").isSuccess());
    EXPECT_EQ(readFile(folder.path() / "empty.srt"), "");
    EXPECT_EQ(readFile(folder.path() / "empty.vtt"), "WEBVTT\n\n");
}

TEST(ResultWriters, JsonReadsBackAsTheResult) {
    const testing::ScratchFolder folder;
    const TranscriptionResult result = resultWith({segment(0.0f, 2.5f, " Hi")});
    WriteJSON json(folder.path().string());
    const Result<std::string> url = json.write(result, "talk");
    ASSERT_TRUE(url.isSuccess()) << url.errorDescription();
    const std::string text = readFile(folder.path() / "talk.json");
    EXPECT_NE(text.find("\n  \"text\": \" Hi there\""), std::string::npos) << text;
    const auto back = TranscriptionResult::fromJson(text);
    EXPECT_EQ(back->text(), " Hi there");
    EXPECT_EQ(back->segments(), result.segments());
    EXPECT_EQ(back->seekTime(), 1.5f);
}

TEST(ResultWriters, FailuresAreValuesAndLeaveNoFile) {
    const testing::ScratchFolder folder;
    const TranscriptionResult fine = resultWith({segment(0.0f, 1.0f, " x")});
    const std::string missing = (folder.path() / "missing").string();
    EXPECT_TRUE(WriteSRT(missing).write(fine, "a").isFailure());
    EXPECT_TRUE(WriteVTT(missing).write(fine, "a").isFailure());
    EXPECT_TRUE(WriteJSON(missing).write(fine, "a").isFailure());

    TranscriptionSegment broken = segment(0.0f, 1.0f, " x");
    broken.compressionRatio = std::numeric_limits<float>::infinity();
    const TranscriptionResult unencodable = resultWith({broken});
    EXPECT_TRUE(WriteJSON(folder.path().string()).write(unencodable, "a").isFailure());
    const TranscriptionResult untimed = resultWith({segment(std::nanf(""), 1.0f, " x")});
    EXPECT_TRUE(WriteSRT(folder.path().string()).write(untimed, "a").isFailure());
    EXPECT_TRUE(fs::is_empty(folder.path()));
}

}  // namespace
}  // namespace rararozuvu
