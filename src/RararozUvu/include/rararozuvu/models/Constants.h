#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "rararozuvu/models/ModelSupportConfig.h"

namespace rararozuvu {

// Fixed values of the speech library. The tables are built once, on first use, and never change.
struct Constants {
    Constants() = delete;

    // Most tokens of one decoding window.
    static constexpr std::int64_t maxTokenContext = 224;
    // 30 s of 16 kHz audio.
    static constexpr std::int64_t defaultWindowSamples = 480000;
    // Largest block read from an audio file at once.
    static constexpr std::uint32_t defaultAudioReadFrameSize = 1323000;
    static constexpr std::string_view defaultLanguageCode = "en";

    // Lower-case English language name to Whisper language code: the 100 languages of the
    // Whisper vocabulary and twelve alias names ("mandarin" -> "zh", "castilian" -> "es", ...).
    static const std::map<std::string, std::string>& languages();
    // The distinct codes of `languages`.
    static const std::set<std::string>& languageCodes();

    // The characters that mark special tokens: "<", "|" and ">".
    static constexpr std::string_view specialTokenCharacters = "<|>";

    // Marks that attach to the following word, and to the preceding word, when word timings are
    // merged (UTF-8).
    static constexpr std::string_view defaultPrependPunctuations = "\"'\u201C\u00A1\u00BF([{-";
    static constexpr std::string_view defaultAppendPunctuations =
        "\"'.\u3002,\uFF0C!\uFF01?\uFF1F:\uFF1A\u201D)]}\u3001";

    // The model-support description's file name in a model repository, and the hub it comes from.
    static constexpr std::string_view defaultRemoteConfigName = "config.json";
    static std::string_view defaultRemoteEndpoint();

    // The built-in model-support description, used when none can be fetched.
    static const ModelSupportConfig& fallbackModelSupportConfig();
    // The known models of that description.
    static const std::vector<std::string>& knownModels();
};

}  // namespace rararozuvu
