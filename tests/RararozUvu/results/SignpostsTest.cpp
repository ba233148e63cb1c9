#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "../LogCapture.h"
#include "rararozuvu/results/Signposts.h"

namespace rararozuvu {
namespace {

using vevidocore::Logging;

TEST(SignpostsTest, IntervalsBecomeDebugTimingLines) {
    Signposter signposter("TestChannel");
    {
        testing::LogCapture log(Logging::LogLevel::debug);
        try {
            const SignpostInterval outer("Outer", signposter);
            const SignpostInterval inner("Inner", signposter);
            throw std::runtime_error("stage failed");
        } catch (const std::runtime_error&) {
        }
        ASSERT_EQ(log.lines.size(), 4u);
        EXPECT_EQ(log.lines[0], "[TestChannel] begin Outer #1");
        EXPECT_EQ(log.lines[1], "[TestChannel] begin Inner #2");
        EXPECT_EQ(log.lines[2].rfind("[TestChannel] end Inner #2: ", 0), 0u) << log.lines[2];
        EXPECT_EQ(log.lines[3].rfind("[TestChannel] end Outer #1: ", 0), 0u) << log.lines[3];
        EXPECT_EQ(log.lines[3].substr(log.lines[3].size() - 3), " ms");
    }
    {
        testing::LogCapture log(Logging::LogLevel::info);
        const SignpostIntervalState state = beginSignpost("Quiet", signposter);
        endSignpost("Quiet", state, signposter);
        EXPECT_TRUE(log.lines.empty());
        EXPECT_EQ(state.id, 3u);
    }
    EXPECT_EQ(Signposter::transcribeTask().category(), "TranscribeTask");
    EXPECT_EQ(Signposter::featureExtractor().category(), "FeatureExtractor");
    EXPECT_EQ(Signposter::audioEncoding().category(), "AudioEncoding");
}

}  // namespace
}  // namespace rararozuvu
