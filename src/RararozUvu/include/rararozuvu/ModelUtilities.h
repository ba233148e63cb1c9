#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rararozuvu/ModelSupport.h"
#include "rararozuvu/ModelSupportConfig.h"
#include "rararozuvu/ModelVariant.h"
#include "rararozuvu/WhisperTokenizer.h"
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
    // `additionalSearchPaths`. A local failure is logged at debug level and leads to the
    // download; a failed download throws the hub client's or the tokenizer library's error.
    static std::shared_ptr<const WhisperTokenizer> loadTokenizer(
        ModelVariant variant, const std::optional<std::filesystem::path>& tokenizerFolder,
        const std::vector<std::filesystem::path>& additionalSearchPaths = {},
        bool useBackgroundSession = false);

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
