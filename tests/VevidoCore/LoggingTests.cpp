#include "vevidocore/Logging.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "vevidocore/ModelState.h"

namespace vevidocore {
namespace {

using Level = Logging::LogLevel;

// The shared logger outlives every test: each test starts and ends with the defaults.
class LoggingTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }

    static void reset() {
        Logging::shared().setLogLevel(Level::none);
        Logging::shared().setLoggingCallback({});
    }

    void capture(Level level) {
        Logging::shared().setLogLevel(level);
        Logging::shared().setLoggingCallback(
            [this](const std::string& line) { lines.push_back(line); });
    }

    std::vector<std::string> lines;
};

TEST_F(LoggingTest, LevelDecidesWhichEntryPointsDeliver) {
    struct Case {
        Level level;
        std::vector<std::string> delivered;
    };
    const Case cases[] = {
        {Level::debug, {"d", "i", "e"}},
        {Level::info, {"i", "e"}},
        {Level::error, {"e"}},
        {Level::none, {}},
    };
    for (const auto& c : cases) {
        lines.clear();
        capture(c.level);
        Logging::debug("d");
        Logging::info("i");
        Logging::error("e");
        EXPECT_EQ(lines, c.delivered) << "level " << static_cast<int>(c.level);
    }
}

TEST_F(LoggingTest, RawValuesOutsideOneToFourGiveNoLevel) {
    EXPECT_EQ(Logging::logLevelFromRawValue(0), std::nullopt);
    EXPECT_EQ(Logging::logLevelFromRawValue(5), std::nullopt);
    EXPECT_EQ(Logging::logLevelFromRawValue(-1), std::nullopt);
    for (int raw = 1; raw <= 4; ++raw) {
        ASSERT_TRUE(Logging::logLevelFromRawValue(raw).has_value());
        EXPECT_EQ(static_cast<int>(*Logging::logLevelFromRawValue(raw)), raw);
    }
}

TEST_F(LoggingTest, ItemsAreRenderedAndJoined) {
    capture(Level::debug);
    Logging::info(Logging::Separator{"-"}, "a", 1, 2.5);
    Logging::info("state", ModelState::prewarmed, 3.0, 0.1f, true, std::string("x"));
    Logging::error();
    Logging::shared().log(Logging::Separator{", "}, Logging::LogType::info, 'c', -7);
    EXPECT_THAT(lines,
                ::testing::ElementsAre("a-1-2.5", "state Specialized 3.0 0.1 true x", "", "c, -7"));
}

TEST_F(LoggingTest, LogIgnoresTheLevel) {
    capture(Level::none);
    Logging::shared().log(Logging::LogType::debug, "always");
    EXPECT_THAT(lines, ::testing::ElementsAre("always"));
}

// Counts how often it is turned into text.
struct CountedItem {
    int* renders;
    std::string description() const {
        ++*renders;
        return "counted";
    }
};

TEST_F(LoggingTest, BlockedLinesAreNotRendered) {
    int renders = 0;
    capture(Level::error);
    Logging::info(CountedItem{&renders});
    EXPECT_EQ(renders, 0);
    Logging::error(CountedItem{&renders});
    EXPECT_EQ(renders, 1);
    EXPECT_THAT(lines, ::testing::ElementsAre("counted"));
}

TEST_F(LoggingTest, CallbackReplacesTheSystemLog) {
    Logging::shared().setLogLevel(Level::info);

    ::testing::internal::CaptureStderr();
    Logging::info("to the system log");
    const std::string systemLog = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(systemLog, ::testing::HasSubstr("to the system log"));
    EXPECT_THAT(systemLog, ::testing::HasSubstr("Vevido"));

    capture(Level::info);
    ::testing::internal::CaptureStderr();
    Logging::info("to the callback");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_THAT(lines, ::testing::ElementsAre("to the callback"));
    EXPECT_TRUE(static_cast<bool>(Logging::shared().loggingCallback()));

    // Removing the callback sends lines back to the system log.
    Logging::shared().setLoggingCallback({});
    ::testing::internal::CaptureStderr();
    Logging::error("back again");
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), ::testing::HasSubstr("back again"));
    EXPECT_THAT(lines, ::testing::ElementsAre("to the callback"));
}

TEST_F(LoggingTest, CallbackMayLogAndReplaceItself) {
    capture(Level::debug);
    Logging::shared().setLoggingCallback([this](const std::string& line) {
        lines.push_back(line);
        Logging::shared().setLoggingCallback(
            [this](const std::string& inner) { lines.push_back("inner " + inner); });
        Logging::debug("from inside");
    });
    Logging::info("outer");
    EXPECT_THAT(lines, ::testing::ElementsAre("outer", "inner from inside"));
}

TEST_F(LoggingTest, LevelAndCallbackMayChangeWhileOtherThreadsLog) {
    std::atomic<int> delivered{0};
    const auto counter = [&delivered](const std::string&) { ++delivered; };
    Logging::shared().setLogLevel(Level::error);
    Logging::shared().setLoggingCallback(counter);

    constexpr int threadCount = 4;
    constexpr int linesPerThread = 2000;
    std::atomic<bool> done{false};
    std::vector<std::thread> loggers;
    for (int t = 0; t < threadCount; ++t) {
        loggers.emplace_back([] {
            for (int i = 0; i < linesPerThread; ++i) {
                Logging::error("line", i);
            }
        });
    }
    std::thread changer([&] {
        while (!done) {
            Logging::shared().setLoggingCallback(counter);
            Logging::shared().setLogLevel(Level::debug);
            Logging::shared().setLogLevel(Level::error);
        }
    });
    for (auto& logger : loggers) {
        logger.join();
    }
    done = true;
    changer.join();
    EXPECT_EQ(delivered, threadCount * linesPerThread);
}

TEST(LoggingFormatTest, TimeWithPercentage) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double time, runs, full;
        std::string expected;
    };
    const Case cases[] = {
        {0.5, 10, 2000, "  500.00 ms /     10 runs (   50.00 ms/run) 25.00%"},
        {0.5, 0, 2000, "  500.00 ms /      0 runs (    0.00 ms/run) 25.00%"},
        {0.5, nan, 2000, "  500.00 ms /    nan runs (    0.00 ms/run) 25.00%"},
        {1.5, 1, 0, " 1500.00 ms /      1 runs ( 1500.00 ms/run)   inf%"},
        {0, 3, 0, "    0.00 ms /      3 runs (    0.00 ms/run)   nan%"},
        {123.456789, 7, 123456.789, "123456.79 ms /      7 runs (17636.68 ms/run) 100.00%"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Logging::formatTimeWithPercentage(c.time, c.runs, c.full), c.expected);
    }
    // Values with hundreds of digits still give the whole line.
    const std::string huge = Logging::formatTimeWithPercentage(1e300, 1, 1);
    EXPECT_GT(huge.size(), 900u);
    EXPECT_THAT(huge, ::testing::EndsWith(".00%"));
}

TEST_F(LoggingTest, MemoryUsageLineGoesOutAtDebugOnly) {
    EXPECT_GT(getMemoryUsage(), 0u);
    EXPECT_EQ(Logging::getMemoryUsage() > 0, getMemoryUsage() > 0);

    capture(Level::info);
    logCurrentMemoryUsage("after load");
    EXPECT_TRUE(lines.empty());

    capture(Level::debug);
    Logging::logCurrentMemoryUsage("after load");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], ::testing::MatchesRegex("after load - Memory usage: [0-9]+ MB"));
}

}  // namespace
}  // namespace vevidocore
