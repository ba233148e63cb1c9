#include <gtest/gtest.h>

#include <unordered_set>

#include "rararozuvu/audio/AudioInputConfig.h"
#include "rararozuvu/results/DecodingError.h"

namespace rararozuvu {
namespace {

using ChannelMode = AudioInputConfig::ChannelMode;

TEST(AudioInputConfigTest, ChannelModeJsonRoundTrips) {
    struct Case {
        ChannelMode mode;
        const char* json;
    };
    const Case cases[] = {
        {ChannelMode::specificChannel(1), R"({"specificChannel":{"_0":1}})"},
        {ChannelMode::sumChannels(), R"({"sumChannels":{}})"},
        {ChannelMode::sumChannels(std::vector<std::int64_t>{}), R"({"sumChannels":{"_0":[]}})"},
        {ChannelMode::sumChannels(std::vector<std::int64_t>{0, 2}),
         R"({"sumChannels":{"_0":[0,2]}})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.mode.toJson(), c.json);
        EXPECT_EQ(ChannelMode::fromJson(c.json), c.mode) << c.json;
    }
    EXPECT_EQ(AudioInputConfig{}.toJson(), R"({"channelMode":{"sumChannels":{}}})");
    const AudioInputConfig config{ChannelMode::specificChannel(0)};
    EXPECT_EQ(AudioInputConfig::fromJson(config.toJson()), config);
    // Keys that name no case are ignored; a null list is no list.
    EXPECT_EQ(ChannelMode::fromJson(R"({"note":1,"sumChannels":{"_0":null}})"),
              ChannelMode::sumChannels());
}

TEST(AudioInputConfigTest, MalformedChannelModesFail) {
    using Kind = DecodingError::Kind;
    struct Case {
        const char* json;
        Kind kind;
    };
    const Case cases[] = {
        {"{}", Kind::typeMismatch},
        {R"({"specificChannel":{"_0":1},"sumChannels":{}})", Kind::typeMismatch},
        {R"({"other":{}})", Kind::typeMismatch},
        {R"({"specificChannel":{}})", Kind::keyNotFound},
        {R"({"specificChannel":{"_0":null}})", Kind::valueNotFound},
        {R"({"specificChannel":{"_0":"1"}})", Kind::typeMismatch},
        {R"({"sumChannels":{"_0":[1.5]}})", Kind::typeMismatch},
        {R"({"sumChannels":3})", Kind::typeMismatch},
        {"[1]", Kind::typeMismatch},
        {"{", Kind::dataCorrupted},
    };
    for (const Case& c : cases) {
        try {
            ChannelMode::fromJson(c.json);
            ADD_FAILURE() << c.json << " decoded";
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), c.kind) << c.json;
        }
    }
    try {
        ChannelMode::fromJson("{}");
    } catch (const DecodingError& error) {
        EXPECT_STREQ(error.what(), "Invalid number of keys found, expected one.");
    }
    EXPECT_THROW(AudioInputConfig::fromJson("{}"), DecodingError);
}

TEST(AudioInputConfigTest, ModesCompareAndHashByCaseAndPayload) {
    const std::unordered_set<ChannelMode> modes = {
        ChannelMode::sumChannels(),
        ChannelMode::sumChannels(std::vector<std::int64_t>{}),
        ChannelMode::sumChannels(std::vector<std::int64_t>{0}),
        ChannelMode::specificChannel(0),
        ChannelMode::specificChannel(0),
    };
    EXPECT_EQ(modes.size(), 4u);
    EXPECT_NE(ChannelMode::sumChannels(), ChannelMode::sumChannels(std::vector<std::int64_t>{}));
}

}  // namespace
}  // namespace rararozuvu
