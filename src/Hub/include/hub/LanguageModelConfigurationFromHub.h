#pragma once

#include <filesystem>
#include <future>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "hub/Config.h"
#include "hub/HubApi.h"

namespace hub {

// The configuration files a language model's tokenizer is built from: "config.json",
// "tokenizer_config.json", "tokenizer.json" and a chat template ("chat_template.jinja", else
// "chat_template.json"), read from a folder or from a hub repository that is first brought into
// the local cache.
//
// Loading starts at construction on a thread of the object's own; every getter waits for it and
// sees the same result or the same error. Destroying the object stops a load still running (a
// download ends cancelled) and waits for it.
class LanguageModelConfigurationFromHub {
public:
    struct Configurations {
        std::optional<Config> modelConfig;
        // With the chat template merged in under "chat_template".
        std::optional<Config> tokenizerConfig;
        Config tokenizerData;
    };

    // The snapshot globs of a hub load, in this order.
    static constexpr const char* configurationFileNames[] = {
        "config.json", "tokenizer_config.json", "chat_template.jinja", "chat_template.json",
        "tokenizer.json"};

    // A model repository by its id, at `revision`.
    LanguageModelConfigurationFromHub(std::string modelName, std::string revision,
                                      HubApi hubApi = HubApi::shared());
    // A local folder; the client is kept but not used.
    explicit LanguageModelConfigurationFromHub(const std::filesystem::path& modelFolder,
                                               HubApi hubApi = HubApi::shared());
    ~LanguageModelConfigurationFromHub();
    LanguageModelConfigurationFromHub(const LanguageModelConfigurationFromHub&) = delete;
    LanguageModelConfigurationFromHub& operator=(const LanguageModelConfigurationFromHub&) = delete;

    std::optional<Config> modelConfig() const;
    Config tokenizerData() const;
    // The model configuration's "model_type" (or "modelType") when it is a string.
    std::optional<std::string> modelType() const;
    // The tokenizer configuration, naming a tokenizer class where it can: its own
    // "tokenizer_class", else the per-model-type fallback's, else the capitalised model type
    // followed by "Tokenizer".
    std::optional<Config> tokenizerConfig() const;

    // A hub load: a snapshot of the five file names, then the folder load. Transport failures
    // become HubClientError::networkError; other errors pass unchanged.
    static Configurations loadConfig(const std::string& modelName, const std::string& revision,
                                     const HubApi& hubApi, std::stop_token stop = {});
    // "tokenizer.json" is required (HubClientError::configurationMissing); malformed JSON gives
    // HubClientError::jsonSerialization, an unreadable file HubClientError::fileSystemError. An
    // unreadable or unusable chat template file is passed over.
    static Configurations loadConfig(const std::filesystem::path& modelFolder,
                                     const HubApi& hubApi);
    // "<modelType>_tokenizer_config.json" from the hub client's resource bundle, when the model
    // type is made only of letters, marks, numbers, "_" and "-" and the resource exists. A
    // resource that cannot be read as a JSON object gives none, with a line on standard output.
    static std::optional<Config> fallbackTokenizerConfig(const std::string& modelType);

private:
    const Configurations& configurations() const;

    std::shared_future<Configurations> configPromise_;
    std::jthread loader_;
};

}  // namespace hub
