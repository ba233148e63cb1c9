#include "rararozuvu/results/DecodingOptions.h"

#include "JSONCoding.h"
#include "rararozuvu/results/DecodingError.h"

namespace rararozuvu {

namespace {

constexpr std::string_view transcribeKey = "transcribe";
constexpr std::string_view translateKey = "translate";

DecodingTask readTask(const json::Value& value) {
    const json::ObjectReader object(value, "DecodingTask");
    const bool transcribe = object.contains(transcribeKey);
    const bool translate = object.contains(translateKey);
    if (transcribe == translate) {
        throw DecodingError(DecodingError::Kind::typeMismatch,
                            "Invalid number of keys found, expected one.");
    }
    // The case's payload object is empty; only its kind is checked.
    json::ObjectReader(object.object()[transcribe ? "transcribe" : "translate"],
                       "a keyed container");
    return transcribe ? DecodingTask::transcribe : DecodingTask::translate;
}

void writeTask(json::Writer& writer, DecodingTask task) {
    writer.startObject();
    writer.key(description(task));
    writer.startObject();
    writer.endObject();
    writer.endObject();
}

ChunkingStrategy readChunkingStrategy(const json::Value& value) {
    const std::string raw = json::readString(value);
    if (const auto strategy = chunkingStrategyFromRawValue(raw)) {
        return *strategy;
    }
    throw DecodingError(DecodingError::Kind::dataCorrupted,
                        "Cannot initialize ChunkingStrategy from invalid String value " + raw);
}

}  // namespace

std::string_view description(DecodingTask task) {
    return task == DecodingTask::translate ? translateKey : transcribeKey;
}

std::string toJson(DecodingTask task) {
    json::Writer writer;
    writeTask(writer, task);
    return writer.text();
}

DecodingTask decodingTaskFromJson(std::string_view text) {
    return readTask(json::parse(text));
}

std::string_view rawValue(ChunkingStrategy strategy) {
    return strategy == ChunkingStrategy::vad ? "vad" : "none";
}

std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view raw) {
    for (ChunkingStrategy strategy : allChunkingStrategies) {
        if (rawValue(strategy) == raw) {
            return strategy;
        }
    }
    return std::nullopt;
}

DecodingOptions::DecodingOptions(Parameters p)
    : verbose(p.verbose),
      task(p.task),
      language(std::move(p.language)),
      temperature(p.temperature),
      temperatureIncrementOnFallback(p.temperatureIncrementOnFallback),
      temperatureFallbackCount(p.temperatureFallbackCount),
      sampleLength(p.sampleLength),
      topK(p.topK),
      usePrefillPrompt(p.usePrefillPrompt),
      usePrefillCache(p.usePrefillCache),
      detectLanguage(p.detectLanguage.value_or(!p.usePrefillPrompt)),
      skipSpecialTokens(p.skipSpecialTokens),
      withoutTimestamps(p.withoutTimestamps),
      wordTimestamps(p.wordTimestamps),
      maxInitialTimestamp(p.maxInitialTimestamp),
      maxWindowSeek(p.maxWindowSeek),
      clipTimestamps(std::move(p.clipTimestamps)),
      windowClipTime(p.windowClipTime),
      promptTokens(std::move(p.promptTokens)),
      prefixTokens(std::move(p.prefixTokens)),
      suppressBlank(p.suppressBlank),
      supressTokens(std::move(p.supressTokens).value_or(std::vector<std::int64_t>{})),
      compressionRatioThreshold(p.compressionRatioThreshold),
      logProbThreshold(p.logProbThreshold),
      firstTokenLogProbThreshold(p.firstTokenLogProbThreshold),
      noSpeechThreshold(p.noSpeechThreshold),
      concurrentWorkerCount(p.concurrentWorkerCount.value_or(16)),
      chunkingStrategy(p.chunkingStrategy) {}

template <>
struct json::Coding<DecodingTask> {
    static void write(Writer& writer, DecodingTask task) { writeTask(writer, task); }
    static DecodingTask read(const Value& value) { return readTask(value); }
};

template <>
struct json::Coding<ChunkingStrategy> {
    static void write(Writer& writer, ChunkingStrategy strategy) {
        writer.value(rawValue(strategy));
    }
    static ChunkingStrategy read(const Value& value) { return readChunkingStrategy(value); }
};

namespace {

using O = DecodingOptions;
constexpr std::tuple kFields{
    json::field("verbose", &O::verbose),
    json::field("task", &O::task),
    json::field("language", &O::language),
    json::field("temperature", &O::temperature),
    json::field("temperatureIncrementOnFallback", &O::temperatureIncrementOnFallback),
    json::field("temperatureFallbackCount", &O::temperatureFallbackCount),
    json::field("sampleLength", &O::sampleLength),
    json::field("topK", &O::topK),
    json::field("usePrefillPrompt", &O::usePrefillPrompt),
    json::field("usePrefillCache", &O::usePrefillCache),
    json::field("detectLanguage", &O::detectLanguage),
    json::field("skipSpecialTokens", &O::skipSpecialTokens),
    json::field("withoutTimestamps", &O::withoutTimestamps),
    json::field("wordTimestamps", &O::wordTimestamps),
    json::field("maxInitialTimestamp", &O::maxInitialTimestamp),
    json::field("maxWindowSeek", &O::maxWindowSeek),
    json::field("clipTimestamps", &O::clipTimestamps),
    json::field("windowClipTime", &O::windowClipTime),
    json::field("promptTokens", &O::promptTokens),
    json::field("prefixTokens", &O::prefixTokens),
    json::field("suppressBlank", &O::suppressBlank),
    json::field("supressTokens", &O::supressTokens),
    json::field("compressionRatioThreshold", &O::compressionRatioThreshold),
    json::field("logProbThreshold", &O::logProbThreshold),
    json::field("firstTokenLogProbThreshold", &O::firstTokenLogProbThreshold),
    json::field("noSpeechThreshold", &O::noSpeechThreshold),
    json::field("concurrentWorkerCount", &O::concurrentWorkerCount),
    json::field("chunkingStrategy", &O::chunkingStrategy),
};

}  // namespace

std::string DecodingOptions::toJson() const {
    return json::toJson(*this, kFields);
}

DecodingOptions DecodingOptions::fromJson(std::string_view text) {
    return json::fromJson<DecodingOptions>(text, "DecodingOptions", kFields);
}

}  // namespace rararozuvu
