#include <gtest/gtest.h>

#include "../VevidoCore/TempFolder.h"
#include "TestHub.h"
#include "TestSupport.h"
#include "hub/LanguageModelConfigurationFromHub.h"

namespace hub {
namespace {

using testing::TestHub;
using testing::writeFile;

using Files = std::vector<std::pair<std::string, std::string>>;

class LanguageModelConfiguration : public ::testing::Test {
protected:
    std::filesystem::path folder(const Files& files) {
        const std::filesystem::path path = temp.path() / std::to_string(++folders);
        std::filesystem::create_directories(path);
        for (const auto& [name, content] : files) {
            writeFile(path / name, content);
        }
        return path;
    }
    HubApi client() const {
        return HubApi({.downloadBase = temp.path() / "cache",
                       .hubToken = "",
                       .endpoint = hub.endpoint(),
                       .useOfflineMode = false});
    }

    vevidocore::testing::TempFolder temp;
    TestHub hub;
    int folders = 0;
};

TEST_F(LanguageModelConfiguration, ReadsAFolderWithTheChatTemplateMergedIn) {
    const struct {
        const char* name;
        Files files;
        std::optional<std::string> tokenizerConfig;  // JSON of the merged configuration
    } cases[] = {
        {"tokenizer data only", {{"tokenizer.json", "{}"}}, std::nullopt},
        {"the text template wins over the JSON one",
         {{"tokenizer.json", "{}"},
          {"chat_template.jinja", "{{ text }}"},
          {"chat_template.json", R"({"chat_template": "ignored"})"}},
         R"({"chat_template":"{{ text }}"})"},
        {"a template replaces the configuration's own",
         {{"tokenizer.json", "{}"},
          {"tokenizer_config.json", R"({"chat_template": [{"name": "x"}], "a": 1})"},
          {"chat_template.json", R"({"chatTemplate": "new"})"}},
         R"({"a":1,"chat_template":"new"})"},
        {"a JSON template that is no text is passed over",
         {{"tokenizer.json", "{}"},
          {"tokenizer_config.json", R"({"a": 1})"},
          {"chat_template.json", R"({"chat_template": 3})"}},
         R"({"a":1})"},
        {"a broken JSON template is passed over",
         {{"tokenizer.json", "{}"}, {"chat_template.json", "{"}},
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto loaded =
            LanguageModelConfigurationFromHub::loadConfig(folder(c.files), client());
        EXPECT_FALSE(loaded.modelConfig);
        EXPECT_EQ(loaded.tokenizerData, Config(Config::Dictionary{}));
        EXPECT_EQ(loaded.tokenizerConfig,
                  c.tokenizerConfig ? std::optional(Config::decodedJSON(*c.tokenizerConfig))
                                    : std::nullopt);
    }
}

TEST_F(LanguageModelConfiguration, EveryGetterReportsTheLoadingError) {
    const struct {
        const char* name;
        Files files;
        std::string message;
    } cases[] = {
        {"no tokenizer data",
         {{"config.json", "{}"}, {"tokenizer_config.json", "{}"}},
         "Required configuration file missing: tokenizer.json"},
        {"malformed JSON", {{"tokenizer.json", "{"}}, "JSON parsing failed for "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const LanguageModelConfigurationFromHub configuration(folder(c.files), client());
        for (int getter = 0; getter < 4; ++getter) {
            try {
                switch (getter) {
                    case 0:
                        configuration.modelConfig();
                        break;
                    case 1:
                        configuration.tokenizerData();
                        break;
                    case 2:
                        configuration.modelType();
                        break;
                    default:
                        configuration.tokenizerConfig();
                }
                ADD_FAILURE() << "getter " << getter << " succeeded";
            } catch (const HubClientError& error) {
                EXPECT_TRUE(std::string(error.what()).starts_with(c.message)) << error.what();
            }
        }
    }
}

TEST_F(LanguageModelConfiguration, TheTokenizerConfigurationNamesAClass) {
    // The test program's resource bundle has fallbacks for "fallbacktest" (a class and a
    // maximum length) and "brokenfallback" (no JSON object).
    const struct {
        std::optional<std::string> modelType;
        std::optional<std::string> tokenizerConfig;
        std::optional<std::string> expected;
    } cases[] = {
        {std::nullopt, std::nullopt, std::nullopt},
        {std::nullopt, R"({"a": 1})", R"({"a": 1})"},
        {"llama", R"({"tokenizer_class": "Mine"})", R"({"tokenizer_class": "Mine"})"},
        {"llama", R"({"a": 1})", R"({"a": 1, "tokenizer_class": "LlamaTokenizer"})"},
        {"GPT2", "{}", R"({"tokenizer_class": "Gpt2Tokenizer"})"},
        {"t5", R"({"tokenizer_class": null})", R"({"tokenizer_class": "T5Tokenizer"})"},
        {"my model", "{}", R"({"tokenizer_class": "My ModelTokenizer"})"},
        {"../fallbacktest", "{}", R"({"tokenizer_class": "../fallbacktestTokenizer"})"},
        {"llama", std::nullopt, std::nullopt},
        {"fallbacktest", std::nullopt,
         R"({"tokenizer_class": "FallbackTestTokenizer", "model_max_length": 512})"},
        {"fallbacktest", R"({"model_max_length": 8, "extra": true})",
         R"({"tokenizer_class": "FallbackTestTokenizer", "model_max_length": 512,
             "extra": true})"},
        {"brokenfallback", "{}", R"({"tokenizer_class": "BrokenfallbackTokenizer"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.modelType.value_or("no model type") + " / " +
                     c.tokenizerConfig.value_or("no tokenizer configuration"));
        Files files{{"tokenizer.json", "{}"}};
        if (c.modelType) {
            files.emplace_back("config.json", R"({"model_type": ")" + *c.modelType + "\"}");
        }
        if (c.tokenizerConfig) {
            files.emplace_back("tokenizer_config.json", *c.tokenizerConfig);
        }
        const LanguageModelConfigurationFromHub configuration(folder(files), client());
        EXPECT_EQ(configuration.modelType(), c.modelType);
        EXPECT_EQ(configuration.tokenizerConfig(),
                  c.expected ? std::optional(Config::decodedJSON(*c.expected)) : std::nullopt);
    }
}

TEST_F(LanguageModelConfiguration, LoadsFromTheHubThroughASnapshot) {
    const Repo repo("owner/model");
    hub.addFile(repo, "config.json", R"({"model_type": "llama"})");
    hub.addFile(repo, "tokenizer.json", R"({"model": {"type": "BPE"}})");
    hub.addFile(repo, "chat_template.jinja", "{{ messages }}");
    hub.addFile(repo, "model.safetensors", "not asked for");

    const LanguageModelConfigurationFromHub configuration("owner/model", "main", client());
    EXPECT_EQ(configuration.tokenizerData()["model"]["type"].string(), "BPE");
    EXPECT_EQ(configuration.tokenizerConfig(),
              Config::decodedJSON(
                  R"({"chat_template": "{{ messages }}", "tokenizer_class": "LlamaTokenizer"})"));
    EXPECT_FALSE(
        std::filesystem::exists(temp.path() / "cache/models/owner/model/model.safetensors"));

    hub.requireToken("secret");
    const LanguageModelConfigurationFromHub refused("owner/model", "main", client());
    EXPECT_THROW(refused.modelConfig(), HubClientError);
    try {
        refused.tokenizerData();
    } catch (const HubClientError& error) {
        EXPECT_EQ(error, HubClientError::authorizationRequired());
    }
}

}  // namespace
}  // namespace hub
