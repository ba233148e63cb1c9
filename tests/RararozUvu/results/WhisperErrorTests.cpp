#include "rararozuvu/results/WhisperError.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vevidocore/Logging.h"

namespace rararozuvu {
namespace {

using vevidocore::Logging;

class WhisperErrorTest : public ::testing::Test {
protected:
    void SetUp() override {
        Logging::shared().setLoggingCallback(
            [this](const std::string& line) { lines.push_back(line); });
    }
    void TearDown() override {
        Logging::shared().setLogLevel(Logging::LogLevel::none);
        Logging::shared().setLoggingCallback({});
    }

    std::vector<std::string> lines;
};

TEST_F(WhisperErrorTest, EveryReadingOfTheDescriptionLogsTheMessage) {
    Logging::shared().setLogLevel(Logging::LogLevel::error);
    const auto error = WhisperError::loadAudioFailed("No file at /tmp/missing.wav");
    EXPECT_EQ(error.errorDescription(), "No file at /tmp/missing.wav");
    EXPECT_EQ(error.errorDescription(), "No file at /tmp/missing.wav");
    EXPECT_THAT(lines, ::testing::ElementsAre("No file at /tmp/missing.wav",
                                              "No file at /tmp/missing.wav"));
    // what() is the plain message and logs nothing.
    EXPECT_STREQ(error.what(), "No file at /tmp/missing.wav");
    EXPECT_EQ(lines.size(), 2u);
}

TEST_F(WhisperErrorTest, NothingIsLoggedAtLevelNone) {
    Logging::shared().setLogLevel(Logging::LogLevel::none);
    EXPECT_EQ(WhisperError::tokenizerUnavailable().errorDescription(), "Tokenizer is unavailable");
    EXPECT_TRUE(lines.empty());
}

}  // namespace
}  // namespace rararozuvu
