#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rararozuvu {

// What the decoder is asked to do.
enum class DecodingTask {
    transcribe,
    translate,
};

inline constexpr std::array<DecodingTask, 2> allDecodingTasks = {DecodingTask::transcribe,
                                                                 DecodingTask::translate};

// "transcribe" or "translate".
std::string_view description(DecodingTask task);

// JSON: {"transcribe":{}} or {"translate":{}}. Reading counts only the keys that name a case and
// throws DecodingError (typeMismatch, "Invalid number of keys found, expected one.") unless there
// is exactly one.
std::string toJson(DecodingTask task);
DecodingTask decodingTaskFromJson(std::string_view json);

// How audio longer than one window is split.
enum class ChunkingStrategy {
    none,  // one stream of 30-second windows
    vad,   // cut at silences found by the voice-activity detector, pieces transcribed in parallel
};

inline constexpr std::array<ChunkingStrategy, 2> allChunkingStrategies = {ChunkingStrategy::none,
                                                                          ChunkingStrategy::vad};

// "none" or "vad"; also the JSON form (a bare string).
std::string_view rawValue(ChunkingStrategy strategy);
// Nothing for any other text (the comparison is exact: "VAD" is no strategy).
std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view raw);

// Every parameter of one transcription. A plain value: each component works on its own copy.
//
// Build one from named parameters, each defaulting as documented:
//   DecodingOptions options({.language = "de", .usePrefillPrompt = false});
struct DecodingOptions {
    // The initialiser's parameters, in field order. Three of them may be left absent and are then
    // resolved when the options are built: `detectLanguage` (the negation of
    // `usePrefillPrompt`), `supressTokens` (empty) and `concurrentWorkerCount` (16).
    struct Parameters {
        bool verbose = false;
        DecodingTask task = DecodingTask::transcribe;
        std::optional<std::string> language;
        float temperature = 0.0f;
        float temperatureIncrementOnFallback = 0.2f;
        std::int64_t temperatureFallbackCount = 5;
        std::int64_t sampleLength = 224;
        std::int64_t topK = 5;
        bool usePrefillPrompt = true;
        bool usePrefillCache = true;
        std::optional<bool> detectLanguage;
        bool skipSpecialTokens = false;
        bool withoutTimestamps = false;
        bool wordTimestamps = false;
        std::optional<float> maxInitialTimestamp;
        std::optional<std::int64_t> maxWindowSeek;
        std::vector<float> clipTimestamps;
        float windowClipTime = 1.0f;
        std::optional<std::vector<std::int64_t>> promptTokens;
        std::optional<std::vector<std::int64_t>> prefixTokens;
        bool suppressBlank = false;
        std::optional<std::vector<std::int64_t>> supressTokens;
        std::optional<float> compressionRatioThreshold = 2.4f;
        std::optional<float> logProbThreshold = -1.0f;
        std::optional<float> firstTokenLogProbThreshold = -1.5f;
        std::optional<float> noSpeechThreshold = 0.6f;
        std::optional<std::int64_t> concurrentWorkerCount;
        std::optional<ChunkingStrategy> chunkingStrategy;
    };

    DecodingOptions() : DecodingOptions(Parameters{}) {}
    explicit DecodingOptions(Parameters parameters);

    bool verbose;
    // Task token forced into the prompt.
    DecodingTask task;
    // Language code of the prompt's language token; absent leaves it to the decoder.
    std::optional<std::string> language;
    // Temperature of a window's first attempt (0: arg-max), and the step added per fallback.
    float temperature;
    float temperatureIncrementOnFallback;
    // Fallback attempts after the first.
    std::int64_t temperatureFallbackCount;
    // Most decoding steps in one window.
    std::int64_t sampleLength;
    // Candidates a temperature draw chooses from.
    std::int64_t topK;
    bool usePrefillPrompt;
    bool usePrefillCache;
    bool detectLanguage;
    bool skipSpecialTokens;
    bool withoutTimestamps;
    bool wordTimestamps;
    // Latest time, in seconds, the first timestamp of a window may name.
    std::optional<float> maxInitialTimestamp;
    std::optional<std::int64_t> maxWindowSeek;
    // Start/end times in seconds of the clips to transcribe, in pairs; empty means everything.
    std::vector<float> clipTimestamps;
    float windowClipTime;
    std::optional<std::vector<std::int64_t>> promptTokens;
    std::optional<std::vector<std::int64_t>> prefixTokens;
    // Forbid a blank or end-of-text first token.
    bool suppressBlank;
    // Tokens suppressed at every step (the name keeps its single p: it is a JSON key).
    std::vector<std::int64_t> supressTokens;
    // Quality thresholds of the fallback verdict (see DecodingFallback).
    std::optional<float> compressionRatioThreshold;
    std::optional<float> logProbThreshold;
    std::optional<float> firstTokenLogProbThreshold;
    std::optional<float> noSpeechThreshold;
    // Most chunks transcribed at once; 0 puts all chunks in one group.
    std::int64_t concurrentWorkerCount;
    // Absent behaves as none.
    std::optional<ChunkingStrategy> chunkingStrategy;

    // Keys are the field names in field order; an absent optional field is left out. Throws
    // EncodingError for a non-finite number.
    std::string toJson() const;
    // Every non-optional key is required (defaults are not restored); an optional key may be
    // missing or null. Throws DecodingError for the first field that fails.
    static DecodingOptions fromJson(std::string_view json);
};

}  // namespace rararozuvu
