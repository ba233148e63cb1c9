#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rararozuvu/models/ModelSupport.h"
#include "rararozuvu/models/ModelSupportConfig.h"
#include "rararozuvu/models/ModelVariant.h"
#include "rararozuvu/models/WhisperTokenizer.h"
#include "vevidocore/ModelUtilities.h"

namespace rararozuvu {

// The runtime's model-file operations, with what the speech library asks while it discovers and
// loads a model: the size family of loaded models, where their tokenizer lives and how to load
// it, and how to list model folders.
struct ModelUtilities : vevidocore::ModelUtilities {
    // The size family from the decoder's vocabulary (51864 English-only, 51865 multilingual,
    // 51866 large-v3) and the encoder's width (384 tiny, 512 base, 768 small, 1024 medium, 1280
    // large-v2). An unknown vocabulary gives base after an error line.
    static ModelVariant detectVariant(std::int64_t logitsDim, std::int64_t encoderDim);

    // The hub repository of the family's tokenizer: "openai/whisper-<description>".
    static std::string tokenizerNameForVariant(ModelVariant variant);

    // The family's tokenizer: from the first of these folders that holds "tokenizer.json" and
    // "tokenizer_config.json" and yields a tokenizer, else downloaded from the hub. The folders
    // are the hub client's local folder of the tokenizer repository (below `tokenizerFolder`, or
    // the client's default download base), then `tokenizerFolder`, then each of
    // `additionalSearchPaths`. Only a missing file leads to the download: tokenizer files that
    // are there but fail to load throw their error, naming the file (the hub client's
    // jsonSerialization for malformed JSON, else WhisperError tokenizerUnavailable). A failed
    // download throws the hub client's or the tokenizer library's error.
    static std::shared_ptr<const WhisperTokenizer> loadTokenizer(
        ModelVariant variant, const std::optional<std::filesystem::path>& tokenizerFolder,
        const std::vector<std::filesystem::path>& additionalSearchPaths = {},
        bool useBackgroundSession = false);

    // Refuses a tokenizer the decoder cannot work with, naming `source` and everything that is
    // wrong: a special token the prompts, the stop or the no-speech probability need is missing
    // (for a multilingual model also the task tokens and "<|en|>"), a special token or a
    // timestamp lies beyond the decoder's vocabulary of `vocabularySize`, or an id of the text
    // vocabulary (every id below "<|endoftext|>") has no token. Throws WhisperError
    // (tokenizerUnavailable).
    static void checkTokenizer(const WhisperTokenizer& tokenizer, std::int64_t vocabularySize,
                               bool isModelMultilingual, const std::string& source);

    // Refuses a text decoder whose context (`positions`, its key-value cache length) cannot hold
    // a window's prompt and sampled tokens: Constants::maxTokenContext positions. Throws
    // WhisperError (modelsUnavailable) naming `source`.
    static void checkDecoderContext(std::int64_t positions, const std::string& source);

    // The model folder names among repository paths: the first component of each path, kept
    // when it ends in a size family's description (any name with "large" in it is kept), once
    // each, ordered by family (tiny, base, small, medium, large; others last) and by name within
    // a family.
    static std::vector<std::string> formatModelFiles(const std::vector<std::string>& modelFiles);

    // The models for the device from the given description, or from the built-in one.
    static ModelSupport modelSupport(
        std::string_view deviceName,
        const std::optional<ModelSupportConfig>& config = std::nullopt);
};

inline std::shared_ptr<const WhisperTokenizer> loadTokenizer(
    ModelVariant variant, const std::optional<std::filesystem::path>& tokenizerFolder,
    bool useBackgroundSession = false) {
    return ModelUtilities::loadTokenizer(variant, tokenizerFolder, {}, useBackgroundSession);
}

inline ModelSupport modelSupport(std::string_view deviceName,
                                 const std::optional<ModelSupportConfig>& config = std::nullopt) {
    return ModelUtilities::modelSupport(deviceName, config);
}

inline std::filesystem::path detectModelURL(const std::filesystem::path& folder,
                                            std::string_view name) {
    return ModelUtilities::detectModelURL(folder, name);
}

}  // namespace rararozuvu
