#include "hub/LanguageModelConfigurationFromHub.h"

#include <fmt/core.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cstdio>
#include <iterator>

#include "FileReading.h"
#include "Utf8Text.h"
#include "hub/ModuleBundle.h"
#include "hub/YYJSONParser.h"

namespace hub {

namespace {

bool isPresent(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

// The text of a chat template file; none when it cannot be read or is not UTF-8.
std::optional<std::string> readText(const std::filesystem::path& path) {
    std::error_code error;
    std::optional<std::string> text = detail::readFileBytes(path, error);
    if (!text || !detail::isValidUtf8(*text)) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> chatTemplate(const std::filesystem::path& folder, const HubApi& hubApi) {
    const std::filesystem::path jinja = folder / "chat_template.jinja";
    if (isPresent(jinja)) {
        return readText(jinja);
    }
    const std::filesystem::path json = folder / "chat_template.json";
    if (!isPresent(json)) {
        return std::nullopt;
    }
    try {
        return hubApi.configuration(json)["chatTemplate"].string();
    } catch (const std::exception&) {
        return std::nullopt;  // a broken template file leaves the model without one
    }
}

Config withChatTemplate(const std::optional<Config>& tokenizerConfig, const std::string& text) {
    Config::Dictionary fields;
    if (tokenizerConfig && tokenizerConfig->dictionary() != nullptr) {
        fields = *tokenizerConfig->dictionary();
    }
    fields.insert_or_assign(BinaryDistinctString("chat_template"), Config(text));
    return Config(std::move(fields));
}

bool isWordSeparator(UChar32 c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == 0x0B || c == 0x0C || c == 0x85 ||
           c == 0x2028 || c == 0x2029;
}

// Each word's first character upper-case and its others lower-case; words are separated by
// white space and line breaks.
std::string capitalized(const std::string& text) {
    const icu::UnicodeString source = icu::UnicodeString::fromUTF8(text);
    icu::UnicodeString result;
    bool wordStart = true;
    for (int32_t i = 0; i < source.length();) {
        const UChar32 c = source.char32At(i);
        const int32_t next = source.moveIndex32(i, 1);
        icu::UnicodeString character(source, i, next - i);
        if (isWordSeparator(c)) {
            wordStart = true;
        } else if (wordStart) {
            character.toUpper(icu::Locale::getRoot());
            wordStart = false;
        } else {
            character.toLower(icu::Locale::getRoot());
        }
        result += character;
        i = next;
    }
    std::string out;
    result.toUTF8String(out);
    return out;
}

bool isFallbackName(const std::string& modelType) {
    if (modelType.empty()) {
        return false;
    }
    constexpr uint32_t allowed = U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK;
    const auto* bytes = reinterpret_cast<const uint8_t*>(modelType.data());
    const auto length = static_cast<int32_t>(modelType.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) {
            return false;
        }
        if (c != '_' && c != '-' && (U_MASK(u_charType(c)) & allowed) == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(std::string modelName,
                                                                     std::string revision,
                                                                     HubApi hubApi) {
    std::promise<Configurations> promise;
    configPromise_ = promise.get_future().share();
    loader_ = std::jthread([promise = std::move(promise), modelName = std::move(modelName),
                            revision = std::move(revision),
                            hubApi = std::move(hubApi)](std::stop_token stop) mutable {
        try {
            promise.set_value(loadConfig(modelName, revision, hubApi, std::move(stop)));
        } catch (...) {
            promise.set_exception(std::current_exception());
        }
    });
}

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(
    const std::filesystem::path& modelFolder, HubApi hubApi) {
    std::promise<Configurations> promise;
    configPromise_ = promise.get_future().share();
    loader_ = std::jthread(
        [promise = std::move(promise), modelFolder, hubApi = std::move(hubApi)]() mutable {
            try {
                promise.set_value(loadConfig(modelFolder, hubApi));
            } catch (...) {
                promise.set_exception(std::current_exception());
            }
        });
}

LanguageModelConfigurationFromHub::~LanguageModelConfigurationFromHub() = default;

const LanguageModelConfigurationFromHub::Configurations&
LanguageModelConfigurationFromHub::configurations() const {
    return configPromise_.get();
}

std::optional<Config> LanguageModelConfigurationFromHub::modelConfig() const {
    return configurations().modelConfig;
}

Config LanguageModelConfigurationFromHub::tokenizerData() const {
    return configurations().tokenizerData;
}

std::optional<std::string> LanguageModelConfigurationFromHub::modelType() const {
    const std::optional<Config>& model = configurations().modelConfig;
    if (!model) {
        return std::nullopt;
    }
    return (*model)["modelType"].string();
}

std::optional<Config> LanguageModelConfigurationFromHub::tokenizerConfig() const {
    const std::optional<Config>& loaded = configurations().tokenizerConfig;
    const std::optional<std::string> type = modelType();
    if (!loaded) {
        return type ? fallbackTokenizerConfig(*type) : std::nullopt;
    }
    if ((*loaded)["tokenizerClass"].string()) {
        return loaded;
    }
    if (!type) {
        return loaded;
    }
    const Config::Dictionary* loadedFields = loaded->dictionary();
    if (const std::optional<Config> fallback = fallbackTokenizerConfig(*type)) {
        // The fallback's values win; keys only the loaded configuration has are kept.
        Config::Dictionary fields =
            fallback->dictionary() ? *fallback->dictionary() : Config::Dictionary{};
        if (loadedFields != nullptr) {
            for (const auto& [key, value] : *loadedFields) {
                fields.try_emplace(key, value);
            }
        }
        return Config(std::move(fields));
    }
    Config::Dictionary fields = loadedFields ? *loadedFields : Config::Dictionary{};
    fields.insert_or_assign(BinaryDistinctString("tokenizer_class"),
                            Config(capitalized(*type) + "Tokenizer"));
    return Config(std::move(fields));
}

LanguageModelConfigurationFromHub::Configurations LanguageModelConfigurationFromHub::loadConfig(
    const std::string& modelName, const std::string& revision, const HubApi& hubApi,
    std::stop_token stop) {
    try {
        const std::filesystem::path folder =
            hubApi.snapshot(Repo(modelName, RepoType::models), revision,
                            std::vector<std::string>(std::begin(configurationFileNames),
                                                     std::end(configurationFileNames)),
                            HubApi::ProgressHandler{}, std::move(stop));
        return loadConfig(folder, hubApi);
    } catch (const URLError& error) {
        throw HubClientError::networkError(error);
    }
}

LanguageModelConfigurationFromHub::Configurations LanguageModelConfigurationFromHub::loadConfig(
    const std::filesystem::path& modelFolder, const HubApi& hubApi) {
    try {
        Configurations loaded;
        if (const auto path = modelFolder / "config.json"; isPresent(path)) {
            loaded.modelConfig = hubApi.configuration(path);
        }
        const std::filesystem::path tokenizerPath = modelFolder / "tokenizer.json";
        if (!isPresent(tokenizerPath)) {
            throw HubClientError::configurationMissing("tokenizer.json");
        }
        loaded.tokenizerData = hubApi.configuration(tokenizerPath);
        if (const auto path = modelFolder / "tokenizer_config.json"; isPresent(path)) {
            loaded.tokenizerConfig = hubApi.configuration(path);
        }
        if (const std::optional<std::string> text = chatTemplate(modelFolder, hubApi)) {
            loaded.tokenizerConfig = withChatTemplate(loaded.tokenizerConfig, *text);
        }
        return loaded;
    } catch (const HubClientError&) {
        throw;
    } catch (const std::exception& error) {
        throw HubClientError::fileSystemError(error.what());
    }
}

std::optional<Config> LanguageModelConfigurationFromHub::fallbackTokenizerConfig(
    const std::string& modelType) {
    if (!isFallbackName(modelType)) {
        return std::nullopt;
    }
    const std::filesystem::path resource = moduleBundle() / (modelType + "_tokenizer_config.json");
    if (!isPresent(resource)) {
        return std::nullopt;
    }
    try {
        std::error_code error;
        const std::optional<std::string> bytes = detail::readFileBytes(resource, error);
        if (!bytes) {
            throw std::filesystem::filesystem_error("cannot read", resource, error);
        }
        Config config = YYJSONParser::parseToConfig(*bytes);
        if (config.kind() != Config::Kind::dictionary) {
            throw HubClientError::parseError("Failed to parse fallback tokenizer config");
        }
        return config;
    } catch (const std::exception& error) {
        fmt::print("Error loading fallback tokenizer config: {}\n", error.what());
        std::fflush(stdout);
        return std::nullopt;
    }
}

}  // namespace hub
