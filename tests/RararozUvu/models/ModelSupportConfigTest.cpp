#include "rararozuvu/models/ModelSupportConfig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "../LogCapture.h"
#include "rararozuvu/models/Constants.h"
#include "rararozuvu/results/DecodingError.h"

namespace rararozuvu {
namespace {

using testing::LogCapture;
using vevidocore::Logging;

const ModelSupportConfig& fallback() {
    return Constants::fallbackModelSupportConfig();
}

TEST(ModelSupportConfigTest, DevicesMatchTheirLongestIdentifier) {
    const auto& rows = fallback().deviceSupports;
    ASSERT_EQ(rows.size(), 6u);
    struct Case {
        const char* device;
        std::size_t row;
    };
    const Case cases[] = {
        {"Mac14,2", 3},   {"Mac16,10", 3},  {"iPad13,10", 2},  {"iPad13,1", 4},
        {"iPad14,10", 3}, {"iPad14,1", 5},  {"iPhone15,2", 1}, {"MacBookPro18,3", 2},
        {"Watch7,1", 0},  {"iPad13,18", 4},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fallback().modelSupport(c.device), rows[c.row].models) << c.device;
    }
    EXPECT_EQ(fallback().modelSupport("Mac14,2").defaultModel, "openai_whisper-large-v3-v20240930");

    LogCapture log(Logging::LogLevel::debug);
    fallback().modelSupport("iPhone14,5");
    EXPECT_EQ(log.lines,
              std::vector<std::string>{
                  R"(Matched iPhone14,5 to devices: ["iPhone14", "iPad14,1", "iPad14,2"])"});
}

TEST(ModelSupportConfigTest, UnknownDevicesGetTheDefault) {
    LogCapture log(Logging::LogLevel::info);
    const ModelSupport support = fallback().modelSupport("MacPro7,1");
    EXPECT_EQ(support.defaultModel, "openai_whisper-base");
    EXPECT_EQ(support.supported, Constants::knownModels());
    EXPECT_TRUE(support.disabled.empty());
    EXPECT_EQ(log.lines,
              std::vector<std::string>{"No device support found for MacPro7,1, using default"});
    // Matching is a case-sensitive prefix test.
    EXPECT_EQ(fallback().modelSupport("mac14,2").defaultModel, "openai_whisper-base");
}

TEST(ModelSupportConfigTest, EqualPrefixesGoToTheEarlierRow) {
    const ModelSupportConfig config(
        "other", "1",
        {DeviceSupport{std::nullopt, {"Mac1"}, {"first", {"a"}, {}}},
         DeviceSupport{std::nullopt, {"Mac9", "Mac1"}, {"second", {"b"}, {}}}});
    EXPECT_EQ(config.modelSupport("Mac12").defaultModel, "first");
    EXPECT_EQ(config.modelSupport("Mac9").defaultModel, "second");
}

TEST(ModelSupportConfigTest, KnownModelsAndDisabledListsCoverEveryRow) {
    const std::vector<std::string>& known = fallback().knownModels;
    ASSERT_EQ(known.size(), 22u);
    EXPECT_EQ(std::vector<std::string>(known.begin(), known.begin() + 4),
              (std::vector<std::string>{"openai_whisper-base", "openai_whisper-base.en",
                                        "openai_whisper-tiny", "openai_whisper-tiny.en"}));
    EXPECT_EQ(known[14], "openai_whisper-large-v2");
    EXPECT_EQ(known[17], "openai_whisper-large-v2_turbo");
    EXPECT_EQ(known.back(), "openai_whisper-large-v3-v20240930_turbo");
    EXPECT_EQ(Constants::knownModels(), known);

    for (const DeviceSupport& row : fallback().deviceSupports) {
        std::set<std::string> all(row.models.supported.begin(), row.models.supported.end());
        for (const std::string& model : row.models.disabled) {
            EXPECT_TRUE(all.insert(model).second) << model;
        }
        EXPECT_EQ(all, std::set<std::string>(known.begin(), known.end()));
    }
    EXPECT_EQ(fallback().deviceSupports[0].models.disabled.size(), 18u);
}

TEST(ModelSupportConfigTest, DecodingMergesTheBuiltInRows) {
    const std::string json =
        R"({"name":"rararozuvu-coreml","version":"1.0","device_support":[)"
        R"({"identifiers":["Mac14"],"models":{"default":"new-default","supported":["new-model","openai_whisper-tiny"]}}]})";
    const ModelSupportConfig config = ModelSupportConfig::fromJson(json);
    const auto& rows = config.deviceSupports;
    const auto& builtIn = fallback().deviceSupports;
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_FALSE(rows[0].chips);
    EXPECT_EQ(rows[0].identifiers, std::vector<std::string>{"Mac14"});
    EXPECT_EQ(rows[0].models.defaultModel, "new-default");
    ASSERT_EQ(rows[0].models.supported.size(), 1 + builtIn[3].models.supported.size());
    EXPECT_EQ(rows[0].models.supported[0], "new-model");
    EXPECT_EQ(rows[0].models.supported[1], "openai_whisper-tiny");
    EXPECT_EQ(rows[0].models.supported.back(), "openai_whisper-large-v3-v20240930_turbo_632MB");
    for (std::size_t i : {0u, 1u, 2u}) {
        EXPECT_EQ(rows[i + 1].identifiers, builtIn[i].identifiers);
    }
    EXPECT_EQ(rows[4].identifiers, builtIn[4].identifiers);
    EXPECT_EQ(rows[5].identifiers, builtIn[5].identifiers);
    EXPECT_EQ(config.knownModels.size(), 23u);
    EXPECT_EQ(config.modelSupport("Mac14,7").defaultModel, "new-default");

    // Written and read again, the rows stay as they are; the disabled lists are never written.
    const std::string written = config.toJson();
    EXPECT_EQ(written.find("disabled"), std::string::npos);
    const ModelSupportConfig reread = ModelSupportConfig::fromJson(written);
    ASSERT_EQ(reread.deviceSupports.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(reread.deviceSupports[i].chips, rows[i].chips);
        EXPECT_EQ(reread.deviceSupports[i].identifiers, rows[i].identifiers);
        EXPECT_EQ(reread.deviceSupports[i].models, rows[i].models);
    }
}

TEST(ModelSupportConfigTest, OtherRepositoriesStayUnmerged) {
    const ModelSupportConfig config = ModelSupportConfig::fromJson(
        R"({"name":"someone/else","version":"2","device_support":[)"
        R"({"chips":"M9","identifiers":["Mac14"],"models":{"default":"x","supported":["x","y"]}}]})");
    ASSERT_EQ(config.deviceSupports.size(), 1u);
    EXPECT_EQ(config.deviceSupports[0].chips, "M9");
    EXPECT_EQ(config.knownModels, (std::vector<std::string>{"x", "y"}));
    EXPECT_TRUE(config.deviceSupports[0].models.disabled.empty());
    EXPECT_EQ(config.toJson(),
              R"({"name":"someone/else","version":"2","device_support":[{"chips":"M9",)"
              R"("identifiers":["Mac14"],"models":{"default":"x","supported":["x","y"]}}]})");
}

TEST(ModelSupportConfigTest, MalformedDescriptionsFail) {
    for (
        const char* json : {
            R"({"version":"1","device_support":[]})",
            R"({"name":"a","version":1,"device_support":[]})",
            R"({"name":"a","version":"1","device_support":[{"identifiers":["x"]}]})",
            R"({"name":"a","version":"1","device_support":[{"identifiers":"x","models":{"default":"d","supported":[]}}]})",
            R"({"name":"a","version":"1","device_support":[{"identifiers":[],"models":{"supported":[]}}]})",
            "not json",
        }) {
        EXPECT_THROW(ModelSupportConfig::fromJson(json), DecodingError) << json;
    }
}

TEST(ConstantsTest, LanguageTableAndPunctuation) {
    const auto& languages = Constants::languages();
    EXPECT_EQ(languages.size(), 112u);
    EXPECT_EQ(languages.at("english"), "en");
    EXPECT_EQ(languages.at("mandarin"), "zh");
    EXPECT_EQ(languages.at("haitian creole"), "ht");
    EXPECT_EQ(languages.at("javanese"), "jw");
    EXPECT_FALSE(languages.contains("English"));
    const auto& codes = Constants::languageCodes();
    EXPECT_EQ(codes.size(), 100u);
    EXPECT_TRUE(codes.contains("yue") && codes.contains("haw"));

    EXPECT_EQ(Constants::defaultPrependPunctuations, "\"'“¡¿([{-");
    EXPECT_EQ(Constants::defaultAppendPunctuations, "\"'.。,，!！?？:：”)]}、");
    EXPECT_EQ(Constants::specialTokenCharacters, "<|>");
    EXPECT_EQ(Constants::maxTokenContext, 224);
    EXPECT_EQ(Constants::defaultWindowSamples, 480000);
    EXPECT_EQ(Constants::defaultAudioReadFrameSize, 1323000u);
    EXPECT_EQ(Constants::defaultRemoteConfigName, "config.json");
    EXPECT_FALSE(Constants::defaultRemoteEndpoint().empty());
}

}  // namespace
}  // namespace rararozuvu
